#include "service/swap_journal.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "build_config.h"
#include "platform/system.h"
#include "service/machine_registry.h"
#include "service/release_record.h"

namespace vora {
namespace {

constexpr LSTATUS error_invalid_data = 13;
constexpr DWORD journal_capacity = 32;

const wchar_t* phase_text(swap_phase phase) { return phase == swap_phase::running ? L"running" : L"swapping"; }

}  // namespace

bool record_swap_phase(swap_phase phase, LSTATUS& error) {
  platform::scoped_registry_key key;
  error = create_machine_key(release_record_key, key);
  if (error == 0) error = set_text_value(key.get(), swap_journal_value, phase_text(phase));
  // On the disk before the step it announces, not whenever the registry
  // gets to it.
  if (error == 0) error = sys().RegFlushKey(key.get());
  return error == 0;
}

bool read_swap_phase(std::optional<swap_phase>& out, LSTATUS& error) {
  out.reset();
  platform::scoped_registry_key key;
  error = open_machine_key(release_record_key, key);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    error = 0;
    return true;
  }
  if (error != 0) return false;
  std::wstring data(journal_capacity, L'\0');
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  error = sys().RegQueryValueExW(key.get(), swap_journal_value, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()),
                                 &size);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    error = 0;
    return true;
  }
  if (error != 0) return false;
  data.resize(std::min<std::size_t>(size / sizeof(wchar_t), data.size()));
  while (!data.empty() && data.back() == L'\0') data.pop_back();
  if (type == REG_SZ && data == phase_text(swap_phase::swapping)) {
    out = swap_phase::swapping;
  } else if (type == REG_SZ && data == phase_text(swap_phase::running)) {
    out = swap_phase::running;
  } else {
    error = error_invalid_data;
    return false;
  }
  return true;
}

bool forget_swap(LSTATUS& error) {
  platform::scoped_registry_key key;
  error = create_machine_key(release_record_key, key);
  if (error == 0) error = sys().RegDeleteValueW(key.get(), swap_journal_value);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) error = 0;
  if (error == 0) error = sys().RegFlushKey(key.get());
  return error == 0;
}

void kill_point(const char* name) {
  if constexpr (build::test_hooks) {
    const char* wanted = std::getenv("VORA_TEST_KILL_AT");
    if (wanted && std::string_view(wanted) == name) std::_Exit(9);
  }
}

}  // namespace vora
