#include "diagnostics/staging_directory.h"

#include <spdlog/spdlog.h>

#include <vector>

#include "diagnostics/directories.h"
#include "diagnostics/protected_directory.h"
#include "diagnostics/safe_files.h"
#include "platform/scoped.h"

namespace vora {
namespace {

constexpr const wchar_t* staging_name = L".staging";

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

void release_staging_directory() {
  DWORD error = 0;
  const std::wstring expected = staging_final_path(error);
  // A leftover that could not go yet keeps it; the next install clears it.
  if (!expected.empty()) delete_exactly(staging_directory(), expected);
}

}  // namespace vora
