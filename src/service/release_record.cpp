#include "service/release_record.h"

#include <spdlog/spdlog.h>

#include <string>

#include "platform/system.h"
#include "service/machine_registry.h"

namespace vora {
namespace {

// "65535.65535.65535.65535" and a terminator, with room to spare.
constexpr DWORD record_capacity = 64;

// The installed release is what every install is measured against: one that
// cannot be read stops the install.
outcome unreadable_record(LSTATUS error) {
  return fail_on_error(error, "Failed to read the installed Vora release (Error: {}).");
}

}  // namespace

outcome read_release_record(std::optional<release_version>& out) {
  out.reset();
  std::optional<std::wstring> data;
  LSTATUS error = 0;
  const bool read = read_machine_text(release_record_key, release_record_value, record_capacity, data, error);
  if (read && !data) return std::nullopt;
  std::string text;
  bool ascii = read;
  for (std::size_t i = 0; ascii && i < data->size(); ++i) {
    if ((*data)[i] >= 0x80) ascii = false;
    text += static_cast<char>((*data)[i]);
  }
  const auto release = ascii ? parse_version_text(text) : std::nullopt;
  if (!release) {
    if (!read && error != static_cast<LSTATUS>(ERROR_INVALID_DATA)) return unreadable_record(error);
    spdlog::error("The release recorded under HKLM\\SOFTWARE\\Vora is not a release");
    return unreadable_record(static_cast<LSTATUS>(ERROR_INVALID_DATA));
  }
  out = release;
  return std::nullopt;
}

outcome write_release_record(const release_version& release) {
  platform::scoped_registry_key record;
  LSTATUS error = create_machine_key(release_record_key, record);
  const std::string text = version_text(release);
  if (error == 0) error = set_text_value(record.get(), release_record_value, std::wstring(text.begin(), text.end()));
  return fail_on_error(error, "Failed to record the installed release (Error: {})");
}

outcome write_waiting_for_restart(const std::wstring& names) {
  if (names.empty()) {
    std::optional<std::wstring> recorded;
    LSTATUS error = 0;
    // Nothing recorded, nothing to take away.
    if (read_machine_text(release_record_key, waiting_for_restart_value, 1024, recorded, error) && !recorded)
      return std::nullopt;
  }
  platform::scoped_registry_key record;
  LSTATUS error = create_machine_key(release_record_key, record);
  if (error == 0 && !names.empty()) error = set_text_value(record.get(), waiting_for_restart_value, names);
  if (error == 0 && names.empty()) {
    error = sys().RegDeleteValueW(record.get(), waiting_for_restart_value);
    if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) error = 0;
  }
  return fail_on_error(error, "Failed to record the files that wait for the next restart (Error: {})");
}

outcome remove_release_record() {
  return fail_on_error(delete_machine_key(release_record_key), "Failed to remove the release record (Error: {})");
}

}  // namespace vora
