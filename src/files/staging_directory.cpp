#include "files/staging_directory.h"

#include <spdlog/spdlog.h>

#include <string_view>
#include <vector>

#include "base/text.h"
#include "files/directories.h"
#include "files/protected_directory.h"
#include "files/safe_files.h"
#include "platform/crt.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr const wchar_t* staging_name = L".staging";
constexpr int release_attempts = 3;
constexpr std::uint32_t release_pause_ms = 250;

// The run part of a file waiting for the next restart, or empty for any
// other entry (a link too).
std::wstring pending_run_part(const directory_entry& entry) {
  const std::wstring_view suffix = pending_suffix;
  const std::wstring_view name = entry.name;
  if (is_link(entry.attributes) || name.size() <= suffix.size() ||
      !platform::equal_ignoring_case(std::wstring(name.substr(name.size() - suffix.size())), std::wstring(suffix)))
    return {};
  const std::wstring_view stem = name.substr(0, name.size() - suffix.size());
  const std::size_t dot = stem.rfind(L'.');
  if (dot == std::wstring_view::npos) return {};
  return std::wstring(stem.substr(dot + 1));
}

}  // namespace

std::filesystem::path staging_directory() { return install_directory() / staging_name; }

std::wstring staging_final_path(DWORD& error) {
  const std::wstring install_final = directory_final_path(install_directory(), error);
  return install_final.empty() ? std::wstring() : child_final_path(install_final, staging_name);
}

DWORD prepare_staging_directory() {
  DWORD error = 0;
  const std::wstring expected = staging_final_path(error);
  if (expected.empty()) return error;
  directory_rules rules;
  rules.no_links = true;
  rules.users_read = false;
  std::vector<std::string> notes;
  platform::scoped_handle held;
  error = secure_directory(staging_directory(), expected, rules, notes, held);
  for (const std::string& note : notes) spdlog::warn("{}", note);
  // A plain file where the folder belongs is left in place by the check.
  if (error == 0 && !held) error = ERROR_ALREADY_EXISTS;
  return error;
}

void remove_pending_files(const std::wstring& run_part, bool others) {
  std::vector<directory_entry> entries;
  DWORD error = 0;
  const std::filesystem::path staging = staging_directory();
  if (!list_directory(staging, entries, error)) return;
  for (const directory_entry& entry : entries) {
    const std::wstring part = pending_run_part(entry);
    if (part.empty() || (part == run_part) == others) continue;
    const std::filesystem::path path = staging / entry.name;
    if ((error = remove_tree(path, link_report::warn)) != 0)
      spdlog::warn("Failed to delete '{}' (Error: {})", narrow_path(path), error);
  }
}

void clear_staging_directory(const std::vector<std::wstring>& keep) {
  const std::filesystem::path staging = staging_directory();
  std::vector<directory_entry> entries;
  DWORD error = 0;
  if (!list_directory(staging, entries, error)) return;
  for (const directory_entry& entry : entries) {
    const std::filesystem::path path = staging / entry.name;
    bool kept = !pending_run_part(entry).empty();
    for (const std::wstring& wanted : keep) kept = kept || platform::equal_ignoring_case(path.wstring(), wanted);
    if (kept) continue;
    error = remove_tree(path, link_report::warn);
    if (error == 0) continue;
    if (sys().MoveFileExW(path.wstring().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) == 0)
      spdlog::warn("Failed to schedule '{}' for removal at restart (Error: {})", narrow_path(path),
                   sys().GetLastError());
    spdlog::warn("Failed to delete '{}' (Error: {}); it goes at the next restart", narrow_path(path), error);
  }
}

void release_staging_directory() {
  // A leftover that could not go yet keeps it; the next install clears it.
  // Any other refusal (a scanner looking in, a moment's sharing violation)
  // is tried again, so an update that worked leaves no empty folder behind.
  for (int attempt = 1;; ++attempt) {
    DWORD error = 0;
    const std::wstring expected = staging_final_path(error);
    if (!expected.empty()) error = delete_exactly(staging_directory(), expected);
    if (error == 0 || error == ERROR_DIR_NOT_EMPTY || is_missing_error(error)) return;
    if (attempt == release_attempts) {
      spdlog::warn("Failed to remove '{}' (Error: {}); the next install does", narrow_path(staging_directory()), error);
      return;
    }
    sys().sleep_ms(release_pause_ms);
  }
}

}  // namespace vora
