#include "service/release_record.h"

#include <spdlog/spdlog.h>

#include <string>

#include "platform/system.h"

namespace vora {
namespace {

constexpr LSTATUS error_invalid_data = 13;
// "65535.65535.65535.65535" and a terminator, with room to spare.
constexpr DWORD record_capacity = 64;

struct registry_key {
  HKEY key = nullptr;
  ~registry_key() {
    if (key) sys().RegCloseKey(key);
  }
};

}  // namespace

bool read_release_record(std::optional<release_version>& out, LSTATUS& error) {
  out.reset();
  registry_key record;
  error =
      sys().RegOpenKeyExW(HKEY_LOCAL_MACHINE, release_record_key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &record.key);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    record.key = nullptr;
    error = 0;
    return true;
  }
  if (error != 0) {
    record.key = nullptr;
    return false;
  }
  std::wstring data(record_capacity, L'\0');
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  error = sys().RegQueryValueExW(record.key, release_record_value, nullptr, &type,
                                 reinterpret_cast<LPBYTE>(data.data()), &size);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    error = 0;
    return true;
  }
  if (error != 0) return false;

  std::string text;
  bool ascii = type == REG_SZ && size <= data.size() * sizeof(wchar_t);
  for (std::size_t i = 0; ascii && i < size / sizeof(wchar_t) && data[i] != L'\0'; ++i) {
    if (data[i] >= 0x80) ascii = false;
    text += static_cast<char>(data[i]);
  }
  const auto release = ascii ? parse_version_text(text) : std::nullopt;
  if (!release) {
    spdlog::error("The release recorded under HKLM\\SOFTWARE\\Vora is not a release");
    error = error_invalid_data;
    return false;
  }
  out = release;
  return true;
}

bool write_release_record(const release_version& release, LSTATUS& error) {
  registry_key record;
  error = sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, release_record_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &record.key, nullptr);
  if (error != 0) {
    record.key = nullptr;
    return false;
  }
  const std::string text = version_text(release);
  const std::wstring wide(text.begin(), text.end());
  error = sys().RegSetValueExW(record.key, release_record_value, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                               static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  return error == 0;
}

bool remove_release_record(LSTATUS& error) {
  error = sys().RegDeleteKeyExW(HKEY_LOCAL_MACHINE, release_record_key, KEY_WOW64_64KEY, 0);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) error = 0;
  return error == 0;
}

}  // namespace vora
