#include "download/download.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "build_config.h"
#include "download/manifest_check.h"
#include "download/placement.h"
#include "download/retry_policy.h"
#include "download/sha256.h"
#include "download/verify.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "files/staging_directory.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr DWORD read_buffer_size = 65536;
constexpr DWORD host_name_capacity = 256;
constexpr DWORD url_path_capacity = 2048;
constexpr DWORD header_capacity = 1024;
// Longest wait for name resolution, connecting and sending.
constexpr std::uint64_t network_timeout_ms = 10000;

// Where a body goes: appended to, or emptied for a fresh start.
class body_sink {
 public:
  virtual ~body_sink() = default;
  virtual bool write(const char* data, std::size_t size) = 0;
  virtual bool restart() = 0;
  // Everything written has reached its destination.
  virtual bool finish() = 0;
};

class stream_sink : public body_sink {
 public:
  explicit stream_sink(std::ostream& out) : out_(out) {}
  bool write(const char* data, std::size_t size) override {
    out_.write(data, static_cast<std::streamsize>(size));
    return out_.good();
  }
  bool restart() override { return false; }  // one attempt only: never asked
  bool finish() override {
    out_.flush();
    return out_.good();
  }

 private:
  std::ostream& out_;
};

// The temporary file. A fresh start truncates it by reopening: the file is
// the program's own, made by this call in its own directory. The SHA-256 of
// what was written is kept as the bytes pass, so no second read is needed.
class file_sink : public body_sink {
 public:
  explicit file_sink(std::wstring path) : path_(std::move(path)) { open(); }
  bool opened() const { return static_cast<bool>(out_); }
  std::uint64_t written() const { return written_; }
  sha256::digest digest() { return hasher_.finish(); }
  bool write(const char* data, std::size_t size) override {
    out_.write(data, static_cast<std::streamsize>(size));
    hasher_.update(data, size);
    written_ += size;
    return out_.good();
  }
  bool restart() override {
    out_.close();
    open();
    written_ = 0;
    hasher_.finish();  // starts an empty message
    return out_.good();
  }
  bool finish() override {
    out_.close();
    return !out_.fail();
  }

 private:
  void open() { out_.open(std::filesystem::path(path_), std::ios::binary | std::ios::out | std::ios::trunc); }
  std::wstring path_;
  std::ofstream out_;
  std::uint64_t written_ = 0;
  sha256 hasher_;
};

// A small body held in memory (the release manifest).
class string_sink : public body_sink {
 public:
  explicit string_sink(std::string& out) : out_(out) {}
  bool write(const char* data, std::size_t size) override {
    out_.append(data, size);
    return true;
  }
  bool restart() override {
    out_.clear();
    return true;
  }
  bool finish() override { return true; }

 private:
  std::string& out_;
};

// What earlier attempts left in the sink, and what they came from, so that
// the next one can ask for the rest only.
struct resume_point {
  std::uint64_t written = 0;            // body bytes in the sink
  std::wstring validator;               // strong ETag or Last-Modified of their response
  std::optional<std::uint64_t> length;  // that response's full length
};

// How long a body may be: at most limit bytes, and when exact, a
// Content-Length must name exactly limit.
struct body_size {
  std::uint64_t limit = 0;
  bool exact = false;
};

struct attempt_result {
  bool complete = false;
  std::string error_text;
  failure_class kind = failure_class::final;
  std::optional<std::uint32_t> retry_after_seconds;
};

attempt_result failed(std::string text, failure_class kind = failure_class::final) {
  attempt_result r;
  r.error_text = std::move(text);
  r.kind = kind;
  return r;
}

attempt_result failed_call(const char* format) {
  const DWORD error = sys().GetLastError();
  return failed(fmt::format(fmt::runtime(format), error), classify_error(error));
}

std::optional<std::wstring> header_text(HINTERNET request, DWORD level) {
  std::vector<wchar_t> buffer(header_capacity, L'\0');
  DWORD bytes = header_capacity * sizeof(wchar_t);
  if (sys().WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &bytes,
                                WINHTTP_NO_HEADER_INDEX) == 0)
    return std::nullopt;
  return std::wstring(buffer.data(), std::min<DWORD>(bytes / sizeof(wchar_t), header_capacity));
}

// "bytes FIRST-LAST/LENGTH" naming exactly the bytes from `from` to the end:
// the whole length, or nothing.
std::optional<std::uint64_t> rest_of(const std::wstring& content_range, std::uint64_t from,
                                     std::optional<std::uint64_t> length) {
  const std::wstring_view prefix = L"bytes ";
  if (content_range.rfind(prefix, 0) != 0) return std::nullopt;
  const std::wstring_view rest = std::wstring_view(content_range).substr(prefix.size());
  const std::size_t dash = rest.find(L'-'), slash = rest.find(L'/');
  if (dash == std::wstring_view::npos || slash == std::wstring_view::npos || dash > slash) return std::nullopt;
  const auto first = parse_decimal(rest.substr(0, dash));
  const auto last = parse_decimal(rest.substr(dash + 1, slash - dash - 1));
  const auto total = parse_decimal(rest.substr(slash + 1));
  if (first && last && total && *first == from && *last + 1 == *total && *total > from &&
      (!length || *length == *total))
    return total;
  return std::nullopt;
}

// The validator a range request may name in If-Range: a strong ETag, else
// the date of last change. A weak ETag cannot vouch for single bytes.
std::wstring validator_of(HINTERNET request) {
  const auto etag = header_text(request, WINHTTP_QUERY_ETAG);
  if (etag && !etag->empty() && etag->rfind(L"W/", 0) != 0) return *etag;
  const auto modified = header_text(request, WINHTTP_QUERY_LAST_MODIFIED);
  return modified ? *modified : std::wstring();
}

std::string deadline_text(const download_deadline& deadline) {
  return fmt::format("Downloads did not finish within {} ms", deadline.length_ms());
}

// One GET of url into sink, asking only for what resume says is missing
// when that can be trusted. Handles are closed on every way out.
attempt_result fetch_attempt(const std::wstring& url, resume_point& resume, body_sink& sink,
                             const download_deadline& deadline, std::uint32_t stall_ms, body_size size) {
  const std::uint64_t limit = size.limit;
  const std::uint64_t remaining = deadline.remaining_ms();
  if (remaining == 0) return failed(deadline_text(deadline));
  // No single wait may outlast the deadline.
  const int network_ms = static_cast<int>(std::min(network_timeout_ms, remaining));
  DWORD receive_ms = static_cast<DWORD>(std::min<std::uint64_t>(stall_ms, remaining));

  // Declared in this order so that they close request first, session last.
  platform::scoped_internet_handle session;
  platform::scoped_internet_handle connection;
  platform::scoped_internet_handle request;

  session.reset(sys().WinHttpOpen(L"Vora/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return failed_call("WinHttpOpen failed: {}");
  if (sys().WinHttpSetTimeouts(session.get(), network_ms, network_ms, network_ms, static_cast<int>(receive_ms)) == 0)
    return failed_call("WinHttpSetTimeouts failed (Error: {})");
  // Wine's WinHttpSetTimeouts leaves the wait for the response headers at
  // its own 21 s; set it, so that a server that never answers stalls too.
  if (sys().WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive_ms, sizeof(receive_ms)) ==
      0)
    return failed_call("WinHttpSetOption failed (Error: {})");

  std::array<wchar_t, host_name_capacity> host_name{};
  std::vector<wchar_t> url_path(url_path_capacity, L'\0');
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  components.lpszHostName = host_name.data();
  components.dwHostNameLength = host_name_capacity;
  components.lpszUrlPath = url_path.data();
  components.dwUrlPathLength = url_path_capacity;
  if (sys().WinHttpCrackUrl(url.c_str(), 0, 0, &components) == 0) return failed_call("WinHttpCrackUrl failed: {}");

  connection.reset(sys().WinHttpConnect(session.get(), host_name.data(), components.nPort, 0));
  if (!connection) return failed_call("WinHttpConnect failed: {}");
  const DWORD flags = components.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  request.reset(sys().WinHttpOpenRequest(connection.get(), L"GET", url_path.data(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request) return failed_call("WinHttpOpenRequest failed: {}");

  const bool ranged = resume.written > 0 && !resume.validator.empty();
  std::wstring headers;
  if (ranged)
    headers = L"Range: bytes=" + std::to_wstring(resume.written) + L"-\r\nIf-Range: " + resume.validator + L"\r\n";
  if (sys().WinHttpSendRequest(request.get(), ranged ? headers.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                               static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) == 0)
    return failed_call("WinHttpSendRequest failed: {}");
  if (sys().WinHttpReceiveResponse(request.get(), nullptr) == 0)
    return failed_call("WinHttpReceiveResponse failed: {}");

  DWORD status = 0;
  DWORD status_size = sizeof(status);
  if (sys().WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX) == 0)
    return failed_call("WinHttpQueryHeaders failed: {}");

  std::uint64_t position = 0;
  if (ranged && status == 206) {
    const std::wstring range = header_text(request.get(), WINHTTP_QUERY_CONTENT_RANGE).value_or(L"");
    const auto total = rest_of(range, resume.written, resume.length);
    if (!total) {
      // Not the rest of what we have: start again from zero next time.
      resume.validator.clear();
      return failed(fmt::format("Unexpected Content-Range '{}' for the rest from byte {}",
                                escape_for_log(to_utf8(range)), resume.written),
                    failure_class::transient);
    }
    // Kept: a body that began without a length is held to this one now.
    resume.length = total;
    if (*total > limit) return failed(fmt::format("Response exceeded maximum allowed size ({} bytes)", limit));
    position = resume.written;
  } else if (status == 200) {
    // The whole file again: the server ignores ranges, or it changed.
    if (resume.written > 0) {
      if (!sink.restart()) return failed("Failed writing downloaded data to output stream");
      resume.written = 0;
    }
    resume.validator = validator_of(request.get());
    resume.length.reset();
    if (const auto length = header_text(request.get(), WINHTTP_QUERY_CONTENT_LENGTH)) {
      resume.length = parse_decimal(*length);
      if (!resume.length) return failed(fmt::format("Invalid Content-Length '{}'", escape_for_log(to_utf8(*length))));
    }
    if (resume.length && *resume.length > limit)
      return failed(fmt::format("Response exceeded maximum allowed size ({} bytes)", limit));
    // Refused before the body: a short file cannot be the one expected.
    if (resume.length && size.exact && *resume.length != limit)
      return failed(fmt::format("Content-Length {} is not the expected {} bytes", *resume.length, limit));
  } else {
    attempt_result r = failed(fmt::format("HTTP request failed with status code: {}", status), classify_status(status));
    if (ranged && status == 416) {
      // The range was refused as a whole: ask for all of it next time.
      resume.validator.clear();
      r.kind = failure_class::transient;
    }
    if (r.kind != failure_class::final)
      if (const auto after = header_text(request.get(), WINHTTP_QUERY_RETRY_AFTER))
        r.retry_after_seconds = parse_retry_after(*after);
    return r;
  }

  std::vector<char> buffer(read_buffer_size, 0);
  for (;;) {
    DWORD got = 0;
    // Never more than one byte past the limit: that byte proves the excess.
    const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(read_buffer_size, limit - position + 1));
    if (sys().WinHttpReadData(request.get(), buffer.data(), wanted, &got) == 0)
      return failed_call("WinHttpReadData failed: {}");
    if (got == 0) break;
    // More than was asked for would be a broken transport, not a bigger chunk.
    if (got > wanted) return failed(fmt::format("WinHttpReadData failed: {}", ERROR_INSUFFICIENT_BUFFER));
    position += got;
    if (position > limit) return failed(fmt::format("Response exceeded maximum allowed size ({} bytes)", limit));
    if (resume.length && position > *resume.length)
      return failed(
          fmt::format("Response body exceeded its Content-Length ({} of {} bytes arrived)", position, *resume.length));
    if (!sink.write(buffer.data(), got)) return failed("Failed writing downloaded data to output stream");
    resume.written = position;
    if (deadline.passed()) return failed(deadline_text(deadline));
  }
  // Wine reports a connection closed early as the end of the body.
  if (resume.length && position < *resume.length)
    return failed(fmt::format("Response body ended short of its Content-Length ({} of {} bytes arrived)", position,
                              *resume.length),
                  failure_class::transient);
  // Data still buffered must reach its destination before it counts.
  if (!sink.finish()) return failed("Failed writing downloaded data to output stream");
  attempt_result done;
  done.complete = true;
  return done;
}

double jitter() {
  static std::minstd_rand generator(static_cast<std::uint32_t>(sys().GetTickCount64() ^ sys().GetCurrentProcessId()));
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

// Attempts until one brings the whole body, the failure is final, or the
// attempts or the run's deadline are used up. error_text: the last failure.
bool fetch_with_retries(const std::string& name, const std::wstring& url, body_sink& sink, std::string& error_text,
                        body_size size = {max_download_size, false}) {
  const retry_settings settings = download_retry_settings();
  download_deadline& deadline = run_download_deadline();
  resume_point resume;
  for (std::uint32_t attempt = 1;; ++attempt) {
    const attempt_result result = fetch_attempt(url, resume, sink, deadline, settings.stall_ms, size);
    if (result.complete) return true;
    const retry_decision next =
        decide_retry(settings, attempt, result.kind, result.retry_after_seconds, deadline.remaining_ms(), jitter());
    if (!next.retry) {
      error_text = result.error_text;
      return false;
    }
    spdlog::info("Retrying download of '{}' in {} ms (attempt {} of {}): {}", name, next.wait_ms, attempt + 1,
                 settings.attempts, result.error_text);
    sys().sleep_ms(next.wait_ms);
  }
}

}  // namespace

bool fetch_to_stream(const std::wstring& url, std::ostream& out, std::string& error_text) {
  resume_point resume;
  stream_sink sink(out);
  const attempt_result result = fetch_attempt(url, resume, sink, run_download_deadline(),
                                              download_retry_settings().stall_ms, {max_download_size, false});
  if (!result.complete) error_text = result.error_text;
  return result.complete;
}

namespace {

// Temporaries this run chose instead of the usual name, by file name.
std::map<std::wstring, std::wstring>& chosen_temporaries() {
  static std::map<std::wstring, std::wstring> chosen;
  return chosen;
}

}  // namespace

std::wstring download_temp_path(const std::wstring& file_name) {
  const auto chosen = chosen_temporaries().find(file_name);
  if (chosen != chosen_temporaries().end()) return chosen->second;
  return (staging_directory() / (file_name + L".download")).wstring();
}

DWORD prepare_download_directories() {
  std::error_code create_error;
  std::filesystem::create_directories(install_directory(), create_error);
  if (create_error) return 0;
  return prepare_staging_directory();
}

namespace {

// Manifest paths and its own name hold ASCII only.
std::wstring ascii_wide(std::string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

bool fetch_release_manifest(const std::vector<std::string>& names, release_manifest& out) {
  std::string text;
  std::string error_text;
  string_sink sink(text);
  if (!fetch_with_retries(manifest_file_name, std::wstring(storage_base_url) + ascii_wide(manifest_file_name), sink,
                          error_text, {max_manifest_size, false})) {
    spdlog::error("Failed to download '{}': {}", manifest_file_name, error_text);
    return false;
  }
  std::string reason;
  if (!check_release_manifest(text, trusted_manifest_keys(), names, utc_now(), out, reason)) {
    spdlog::error("Release manifest refused: {}", reason);
    return false;
  }
  spdlog::info("Verified release manifest of release {} (issued {}, expires {})", version_text(out.release),
               utc_text(out.issued), utc_text(out.expires));
  return true;
}

bool fetch_verified_file(const std::wstring& file_name, held_image& held,
                         const std::optional<std::string>& expected_sha256, signature_check signature,
                         image_version* version, const manifest_file* listed) {
  const std::filesystem::path directory = install_directory();
  std::error_code ec;
  // The staging folder inside is the caller's to secure first.
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    spdlog::error("Failed to create installation directory (Error: {})", ec.message());
    return false;
  }

  std::wstring temp_path = download_temp_path(file_name);
  const std::string name = to_utf8(file_name);

  // A leftover of an earlier run; never written through.
  if (const DWORD leftover_error = delete_in_place(std::filesystem::path(temp_path))) {
    if (leftover_error != ERROR_SHARING_VIOLATION) {
      spdlog::error("Failed to remove leftover '{}' (Error: {})", to_utf8(temp_path), leftover_error);
      return false;
    }
    // Somebody holds it open: it goes at the next restart, and this run
    // downloads beside it, so no reader can block every later install.
    if (sys().MoveFileExW(temp_path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) == 0)
      spdlog::warn("Failed to schedule '{}' for removal at restart (Error: {})", to_utf8(temp_path),
                   sys().GetLastError());
    spdlog::warn("Leftover '{}' is held by another program; downloading beside it", to_utf8(temp_path));
    temp_path = (staging_directory() / (file_name + L"." + unguessable_name_part() + L".download")).wstring();
    chosen_temporaries()[file_name] = temp_path;
  }

  std::string error_text;
  bool fetched = false;
  bool mismatched = false;
  {
    file_sink out(temp_path);
    if (!out.opened()) {
      spdlog::error("Failed to open '{}' for writing", to_utf8(temp_path));
      return false;
    }
    // A failed close may have lost the last buffered bytes: the sink's
    // finish reports it as a failed write.
    // Listed in the manifest: from its path, and no byte past its size.
    const std::wstring url = std::wstring(storage_base_url) + (listed ? ascii_wide(listed->path) : file_name);
    fetched = fetch_with_retries(name, url, out, error_text,
                                 listed ? body_size{listed->size, true} : body_size{max_download_size, false});
    if (fetched && listed && out.written() != listed->size) {
      error_text = fmt::format("{} bytes arrived, the release manifest says {}", out.written(), listed->size);
      fetched = false;
    }
    // The manifest's hash is checked first, on the bytes as they arrived:
    // nothing else reads a file the publisher did not list.
    if (fetched && (listed != nullptr) && out.digest() != listed->sha256) {
      spdlog::error("Pinned hash and generated hash don't match ({})", to_utf8(temp_path));
      spdlog::error("Downloaded '{}' failed verification", name);
      mismatched = true;
    }
  }
  if (!fetched || mismatched) {
    if (!fetched) spdlog::error("Failed to download '{}': {}", name, error_text);
    discard_download(held, temp_path);
    return false;
  }

  image_identity identity{file_name, {}};
  // A listed file's hash is already the manifest's.
  const std::optional<std::string> pinned = listed ? std::nullopt : expected_sha256;
  if (!verify_image(temp_path, held, pinned, signature, version ? &identity : nullptr)) {
    spdlog::error("Downloaded '{}' failed verification", name);
    discard_download(held, temp_path);
    return false;
  }
  if (version) *version = identity.found;
  return true;
}

bool place_verified_file(const std::wstring& file_name, held_image& held, std::wstring& final_path_out, DWORD* error) {
  const std::wstring final_path = (install_directory() / file_name).wstring();
  if (!rename_by_handle(held.handle.get(), final_path, if_target_exists::replace)) {
    const DWORD rename_error = sys().GetLastError();
    if (error) *error = rename_error;
    spdlog::error("SetFileInformationByHandle(FileRenameInfo) failed (Error: {})", rename_error);
    spdlog::error("Failed to finalize '{}'", to_utf8(file_name));
    discard_download(held, download_temp_path(file_name));
    return false;
  }
  if (!update_canonical_path(held)) {
    if (error) *error = sys().GetLastError() != 0 ? sys().GetLastError() : ERROR_CANT_RESOLVE_FILENAME;
    spdlog::error("Failed to update canonical path");
    return false;
  }

  std::error_code identity_error;
  if (!is_same_file(held.path, final_path, identity_error) || identity_error) {
    if (error) *error = identity_error ? static_cast<DWORD>(identity_error.value()) : ERROR_CANT_RESOLVE_FILENAME;
    spdlog::error("Canonical path and final path mismatch (Canonical Path: {}, Final Path: {}, Error: {})",
                  to_utf8(held.path), to_utf8(final_path), identity_error.message());
    return false;
  }
  final_path_out = final_path;
  return true;
}

bool download_program_file(const std::wstring& file_name, std::wstring& final_path_out, held_image& held,
                           const std::optional<std::string>& expected_sha256, signature_check signature) {
  return fetch_verified_file(file_name, held, expected_sha256, signature) &&
         place_verified_file(file_name, held, final_path_out);
}

}  // namespace vora
