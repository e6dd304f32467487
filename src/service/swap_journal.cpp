#include "service/swap_journal.h"

#include <cstdlib>
#include <string_view>

#include "build_config.h"
#include "platform/system.h"
#include "service/machine_registry.h"
#include "service/release_record.h"

namespace vora {
namespace {

constexpr std::size_t journal_capacity = 64;
constexpr std::size_t moved_setup_capacity = 2 * 32768 + 1;
constexpr std::wstring_view earlier_service_mark = L", earlier service";

LSTATUS write_flushed(const wchar_t* name, const std::wstring& text) {
  platform::scoped_registry_key key;
  LSTATUS error = create_machine_key(release_record_key, key);
  if (error == 0) error = set_text_value(key.get(), name, text);
  // On the disk before the step it announces, not whenever the registry
  // gets to it.
  if (error == 0) error = sys().RegFlushKey(key.get());
  return error;
}

LSTATUS forget_flushed(const wchar_t* name) {
  platform::scoped_registry_key key;
  LSTATUS error = create_machine_key(release_record_key, key);
  if (error == 0) error = sys().RegDeleteValueW(key.get(), name);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) error = 0;
  if (error == 0) error = sys().RegFlushKey(key.get());
  return error;
}

bool plain_step_name(std::wstring_view text) {
  if (text.empty()) return false;
  for (const wchar_t c : text) {
    if (!(c >= L'a' && c <= L'z') && c != L'-') return false;
  }
  return true;
}

}  // namespace

outcome unreadable_journal(LSTATUS error) {
  return fail_on_error(error, "Failed to read the state of an interrupted Vora update (Error: {}).");
}

outcome record_swap_step(const swap_record& record) {
  std::wstring text(record.step.begin(), record.step.end());
  if (record.earlier_service) text += earlier_service_mark;
  return fail_on_error(write_flushed(swap_journal_value, text),
                       "Failed to record the Vora update in progress (Error: {}).");
}

outcome read_swap_record(std::optional<swap_record>& out) {
  out.reset();
  std::optional<std::wstring> text;
  LSTATUS error = 0;
  if (!read_machine_text(release_record_key, swap_journal_value, journal_capacity, text, error))
    return unreadable_journal(error);
  if (!text) return std::nullopt;
  swap_record record;
  std::wstring_view step = *text;
  if (step.size() > earlier_service_mark.size() &&
      step.substr(step.size() - earlier_service_mark.size()) == earlier_service_mark) {
    record.earlier_service = true;
    step.remove_suffix(earlier_service_mark.size());
  }
  if (!plain_step_name(step)) return unreadable_journal(static_cast<LSTATUS>(ERROR_INVALID_DATA));
  record.step.assign(step.begin(), step.end());
  out = record;
  return std::nullopt;
}

outcome forget_swap() {
  return fail_on_error(forget_flushed(swap_journal_value), "Failed to forget the update (Error: {})");
}

outcome record_moved_setup(const moved_setup_record& record) {
  // No path holds '|'.
  return fail_on_error(write_flushed(moved_setup_value, record.moved + L"|" + record.home),
                       "Failed to record the running setup's move (Error: {})");
}

outcome read_moved_setup(std::optional<moved_setup_record>& out) {
  out.reset();
  std::optional<std::wstring> text;
  LSTATUS error = 0;
  if (!read_machine_text(release_record_key, moved_setup_value, moved_setup_capacity, text, error))
    return unreadable_journal(error);
  if (!text) return std::nullopt;
  const std::size_t bar = text->find(L'|');
  if (bar == 0 || bar == std::wstring::npos || bar + 1 == text->size() ||
      text->find(L'|', bar + 1) != std::wstring::npos)
    return unreadable_journal(static_cast<LSTATUS>(ERROR_INVALID_DATA));
  out = moved_setup_record{text->substr(0, bar), text->substr(bar + 1)};
  return std::nullopt;
}

outcome forget_moved_setup() {
  return fail_on_error(forget_flushed(moved_setup_value), "Failed to forget the moved setup (Error: {})");
}

void kill_point(const std::string& name) {
  if constexpr (build::test_hooks) {
    const char* wanted = std::getenv("VORA_TEST_KILL_AT");
    if (wanted && name == wanted) std::_Exit(9);
  }
}

}  // namespace vora
