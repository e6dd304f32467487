#include "service/release_record.h"

#include <spdlog/spdlog.h>

#include <string>

#include "platform/system.h"
#include "service/machine_registry.h"

namespace vora {
namespace {

// "65535.65535.65535.65535" and a terminator, with room to spare.
constexpr DWORD record_capacity = 64;

}  // namespace

bool read_release_record(std::optional<release_version>& out, LSTATUS& error) {
  out.reset();
  std::optional<std::wstring> data;
  const bool read = read_machine_text(release_record_key, release_record_value, record_capacity, data, error);
  if (read && !data) return true;
  std::string text;
  bool ascii = read;
  for (std::size_t i = 0; ascii && i < data->size(); ++i) {
    if ((*data)[i] >= 0x80) ascii = false;
    text += static_cast<char>((*data)[i]);
  }
  const auto release = ascii ? parse_version_text(text) : std::nullopt;
  if (!release) {
    if (!read && error != static_cast<LSTATUS>(ERROR_INVALID_DATA)) return false;
    spdlog::error("The release recorded under HKLM\\SOFTWARE\\Vora is not a release");
    error = static_cast<LSTATUS>(ERROR_INVALID_DATA);
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
