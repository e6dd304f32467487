#include "service/swap_journal.h"

#include <algorithm>
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

constexpr std::size_t run_part_capacity = 17;
constexpr std::size_t placed_capacity = program_file_count * (16 + 1 + 32 + 1) + 1;

std::wstring hex_digits(std::uint64_t value, int digits) {
  static constexpr wchar_t hex[] = L"0123456789ABCDEF";
  std::wstring out(static_cast<std::size_t>(digits), L'0');
  for (int i = digits; i-- > 0; value >>= 4) out[static_cast<std::size_t>(i)] = hex[value & 0xF];
  return out;
}

// Upper-case hexadecimal digits only, as record_placed_files writes them;
// lower case only with lower (the run part's own spelling).
template <typename T>
bool parse_hex(std::wstring_view text, T& value, bool lower = false) {
  value = 0;
  if (text.empty()) return false;
  const wchar_t a = lower ? L'a' : L'A';
  for (const wchar_t c : text) {
    unsigned digit = 0;
    if (c >= L'0' && c <= L'9')
      digit = static_cast<unsigned>(c - L'0');
    else if (c >= a && c <= a + 5)
      digit = static_cast<unsigned>(c - a + 10);
    else
      return false;
    value = static_cast<T>((value << 4) | digit);
  }
  return true;
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

namespace {

outcome malformed_journal() { return unreadable_journal(static_cast<LSTATUS>(ERROR_INVALID_DATA)); }

outcome read_journal_text(const wchar_t* name, std::size_t capacity, std::optional<std::wstring>& text) {
  LSTATUS error = 0;
  if (!read_machine_text(release_record_key, name, capacity, text, error)) return unreadable_journal(error);
  return std::nullopt;
}

}  // namespace

outcome record_swap_step(const swap_record& record) {
  std::wstring text(record.step.begin(), record.step.end());
  if (record.earlier_service) text += earlier_service_mark;
  return fail_on_error(write_flushed(swap_journal_value, text),
                       "Failed to record the Vora update in progress (Error: {}).");
}

outcome read_swap_record(std::optional<swap_record>& out) {
  out.reset();
  std::optional<std::wstring> text;
  if (auto cause = read_journal_text(swap_journal_value, journal_capacity, text)) return cause;
  if (!text) return std::nullopt;
  swap_record record;
  std::wstring_view step = *text;
  if (step.size() > earlier_service_mark.size() &&
      step.substr(step.size() - earlier_service_mark.size()) == earlier_service_mark) {
    record.earlier_service = true;
    step.remove_suffix(earlier_service_mark.size());
  }
  if (!plain_step_name(step)) return malformed_journal();
  record.step.assign(step.begin(), step.end());
  out = record;
  return std::nullopt;
}

outcome forget_swap() {
  LSTATUS error = forget_flushed(placed_files_value);
  if (error == 0) error = forget_flushed(swap_journal_value);
  // Last: while the journal is there, its names are.
  if (error == 0) error = forget_flushed(swap_run_value);
  return fail_on_error(error, "Failed to forget the update (Error: {})");
}

outcome record_swap_run(const std::wstring& run_part) {
  return fail_on_error(write_flushed(swap_run_value, run_part),
                       "Failed to record the Vora update in progress (Error: {}).");
}

outcome read_swap_run(std::optional<std::wstring>& out) {
  out.reset();
  std::optional<std::wstring> text;
  if (auto cause = read_journal_text(swap_run_value, run_part_capacity, text)) return cause;
  if (!text) return std::nullopt;
  std::uint64_t ignored = 0;
  if (text->size() != 16 || !parse_hex(*text, ignored, true)) return malformed_journal();
  out = text;
  return std::nullopt;
}

// Per file, in program_files' order and separated by ';': "-" for none, or
// the volume serial number and the file ID in hexadecimal, "VOLUME:ID".
outcome record_placed_files(const placed_file_ids& ids) {
  std::wstring text;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) text += L';';
    if (!ids[i]) {
      text += L'-';
      continue;
    }
    text += hex_digits(ids[i]->VolumeSerialNumber, 16);
    text += L':';
    for (const BYTE byte : ids[i]->FileId) text += hex_digits(byte, 2);
  }
  return fail_on_error(write_flushed(placed_files_value, text),
                       "Failed to record the Vora update in progress (Error: {}).");
}

outcome read_placed_files(std::optional<placed_file_ids>& out) {
  out.reset();
  std::optional<std::wstring> text;
  if (auto cause = read_journal_text(placed_files_value, placed_capacity, text)) return cause;
  if (!text) return std::nullopt;
  placed_file_ids ids{};
  std::wstring_view rest = *text;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::size_t end = std::min(rest.find(L';'), rest.size());
    const std::wstring_view field = rest.substr(0, end);
    const bool last = i + 1 == ids.size();
    if (last != (end == rest.size())) return malformed_journal();
    rest.remove_prefix(last ? end : end + 1);
    if (field == L"-") continue;
    platform::file_id_info id{};
    if (field.size() != 16 + 1 + 32 || field[16] != L':' || !parse_hex(field.substr(0, 16), id.VolumeSerialNumber))
      return malformed_journal();
    for (std::size_t b = 0; b < sizeof(id.FileId); ++b) {
      std::uint64_t byte = 0;
      if (!parse_hex(field.substr(17 + 2 * b, 2), byte)) return malformed_journal();
      id.FileId[b] = static_cast<BYTE>(byte);
    }
    ids[i] = id;
  }
  out = ids;
  return std::nullopt;
}

outcome record_moved_setup(const moved_setup_record& record) {
  // No path holds '|'.
  return fail_on_error(write_flushed(moved_setup_value, record.moved + L"|" + record.home),
                       "Failed to record the running setup's move (Error: {})");
}

outcome read_moved_setup(std::optional<moved_setup_record>& out) {
  out.reset();
  std::optional<std::wstring> text;
  if (auto cause = read_journal_text(moved_setup_value, moved_setup_capacity, text)) return cause;
  if (!text) return std::nullopt;
  const std::size_t bar = text->find(L'|');
  if (bar == 0 || bar == std::wstring::npos || bar + 1 == text->size() ||
      text->find(L'|', bar + 1) != std::wstring::npos)
    return malformed_journal();
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
