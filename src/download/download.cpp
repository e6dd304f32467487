#include "download/download.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/text.h"
#include "diagnostics/directories.h"
#include "download/placement.h"
#include "download/verify.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr DWORD read_buffer_size = 65536;
constexpr DWORD host_name_capacity = 256;
constexpr DWORD url_path_capacity = 2048;

std::string last_error_text(const char* format) { return fmt::format(fmt::runtime(format), sys().GetLastError()); }

}  // namespace

bool fetch_to_stream(const std::wstring& url, std::ostream& out, std::string& error_text) {
  // Declared in this order so that they close request first, session last.
  platform::scoped_internet_handle session;
  platform::scoped_internet_handle connection;
  platform::scoped_internet_handle request;

  session.reset(sys().WinHttpOpen(L"Vora/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    error_text = last_error_text("WinHttpOpen failed: {}");
    return false;
  }
  if (!sys().WinHttpSetTimeouts(session.get(), 10000, 10000, 10000, 30000)) {
    error_text = last_error_text("WinHttpSetTimeouts failed (Error: {})");
    return false;
  }

  std::array<wchar_t, host_name_capacity> host_name{};
  std::vector<wchar_t> url_path(url_path_capacity, L'\0');
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  components.lpszHostName = host_name.data();
  components.dwHostNameLength = host_name_capacity;
  components.lpszUrlPath = url_path.data();
  components.dwUrlPathLength = url_path_capacity;
  if (!sys().WinHttpCrackUrl(url.c_str(), 0, 0, &components)) {
    error_text = last_error_text("WinHttpCrackUrl failed: {}");
    return false;
  }

  connection.reset(sys().WinHttpConnect(session.get(), host_name.data(), components.nPort, 0));
  if (!connection) {
    error_text = last_error_text("WinHttpConnect failed: {}");
    return false;
  }
  const DWORD flags = components.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  request.reset(sys().WinHttpOpenRequest(connection.get(), L"GET", url_path.data(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request) {
    error_text = last_error_text("WinHttpOpenRequest failed: {}");
    return false;
  }
  if (!sys().WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    error_text = last_error_text("WinHttpSendRequest failed: {}");
    return false;
  }
  if (!sys().WinHttpReceiveResponse(request.get(), nullptr)) {
    error_text = last_error_text("WinHttpReceiveResponse failed: {}");
    return false;
  }

  DWORD status = 0;
  DWORD status_size = sizeof(status);
  if (!sys().WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
    error_text = last_error_text("WinHttpQueryHeaders failed: {}");
    return false;
  }
  if (status != 200) {
    error_text = fmt::format("HTTP request failed with status code: {}", status);
    return false;
  }

  std::vector<char> buffer(read_buffer_size, 0);
  std::uint64_t total = 0;
  for (;;) {
    DWORD got = 0;
    if (!sys().WinHttpReadData(request.get(), buffer.data(), read_buffer_size, &got)) {
      error_text = last_error_text("WinHttpReadData failed: {}");
      return false;
    }
    if (got == 0) break;
    // More than was asked for would be a broken transport, not a bigger chunk.
    if (got > read_buffer_size) {
      error_text = fmt::format("WinHttpReadData failed: {}", ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    total += got;
    if (total > max_download_size) {
      error_text = fmt::format("Response exceeded maximum allowed size ({} bytes)", max_download_size);
      return false;
    }
    out.write(buffer.data(), got);
    if (!out.good()) {
      error_text = "Failed writing downloaded data to output stream";
      return false;
    }
  }
  // Data still buffered in the stream must reach the file before it counts.
  out.flush();
  if (!out.good()) {
    error_text = "Failed writing downloaded data to output stream";
    return false;
  }
  return true;
}

std::wstring download_temp_path(const std::wstring& file_name) {
  return (install_directory() / (file_name + L".download")).wstring();
}

bool fetch_verified_file(const std::wstring& file_name, held_image& held,
                         const std::optional<std::string>& expected_sha256, bool verify_signature,
                         image_version* version) {
  const std::filesystem::path directory = install_directory();
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    spdlog::error("Failed to create installation directory (Error: {})", ec.message());
    return false;
  }

  const std::wstring temp_path = download_temp_path(file_name);
  const std::string name = to_utf8(file_name);

  // A leftover of an earlier run; never written through.
  if (!remove_file(temp_path, ec)) {
    spdlog::error("Failed to remove leftover '{}' (Error: {})", to_utf8(temp_path), ec.value());
    return false;
  }

  std::ofstream out(std::filesystem::path(temp_path), std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out) {
    spdlog::error("Failed to open '{}' for writing", to_utf8(temp_path));
    return false;
  }

  std::string error_text;
  bool fetched = fetch_to_stream(std::wstring(storage_base_url) + file_name, out, error_text);
  out.close();
  // A failed close may have lost the last buffered bytes.
  if (fetched && out.fail()) {
    fetched = false;
    error_text = "Failed writing downloaded data to output stream";
  }
  if (!fetched) {
    spdlog::error("Failed to download '{}': {}", name, error_text);
    discard_download(held, temp_path);
    return false;
  }

  image_identity identity{file_name, {}};
  if (!verify_image(temp_path, held, expected_sha256, verify_signature, version ? &identity : nullptr)) {
    spdlog::error("Downloaded '{}' failed verification", name);
    discard_download(held, temp_path);
    return false;
  }
  if (version) *version = identity.found;
  return true;
}

bool place_verified_file(const std::wstring& file_name, held_image& held, std::wstring& final_path_out) {
  const std::wstring final_path = (install_directory() / file_name).wstring();
  if (!rename_by_handle(held.handle, final_path)) {
    spdlog::error("Failed to finalize '{}'", to_utf8(file_name));
    discard_download(held, download_temp_path(file_name));
    return false;
  }
  if (!update_canonical_path(held)) {
    spdlog::error("Failed to update canonical path");
    return false;
  }

  std::error_code identity_error;
  if (!is_same_file(held.path, final_path, identity_error) || identity_error) {
    spdlog::error("Canonical path and final path mismatch (Canonical Path: {}, Final Path: {}, Error: {})",
                  to_utf8(held.path), to_utf8(final_path), identity_error.message());
    return false;
  }
  final_path_out = final_path;
  return true;
}

bool download_program_file(const std::wstring& file_name, std::wstring& final_path_out, held_image& held,
                           const std::optional<std::string>& expected_sha256, bool verify_signature) {
  return fetch_verified_file(file_name, held, expected_sha256, verify_signature) &&
         place_verified_file(file_name, held, final_path_out);
}

}  // namespace vora
