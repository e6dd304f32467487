#include "service/release_record.h"

#include <spdlog/spdlog.h>

#include <string>

#include "platform/system.h"
#include "service/machine_registry.h"

namespace vora {
namespace {

constexpr LSTATUS error_invalid_data = 13;
// "65535.65535.65535.65535" and a terminator, with room to spare.
constexpr DWORD record_capacity = 64;

}  // namespace

bool read_release_record(std::optional<release_version>& out, LSTATUS& error) {
  out.reset();
  platform::scoped_registry_key record;
  error = open_machine_key(release_record_key, record);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    error = 0;
    return true;
  }
  if (error != 0) return false;
  std::wstring data(record_capacity, L'\0');
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  error = sys().RegQueryValueExW(record.get(), release_record_value, nullptr, &type,
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
  platform::scoped_registry_key record;
  error = create_machine_key(release_record_key, record);
  if (error != 0) return false;
  const std::string text = version_text(release);
  error = set_text_value(record.get(), release_record_value, std::wstring(text.begin(), text.end()));
  return error == 0;
}

bool remove_release_record(LSTATUS& error) {
  error = delete_machine_key(release_record_key);
  return error == 0;
}

}  // namespace vora
