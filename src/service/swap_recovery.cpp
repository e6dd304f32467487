#include "service/swap_recovery.h"

#include <spdlog/spdlog.h>

#include <filesystem>
#include <string>

#include "app/fatal_error.h"
#include "app/text.h"
#include "diagnostics/directories.h"
#include "diagnostics/safe_files.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/previous_install.h"
#include "service/registration.h"
#include "service/swap_journal.h"

namespace vora {
namespace {

// An earlier file set aside goes back under its name, replacing whatever
// the swap put there; with none set aside the file under its name is the
// earlier one. Each is safe to repeat. 0 or the Windows error.
DWORD put_back(const std::filesystem::path& directory, const std::wstring& directory_final, const wchar_t* name) {
  const std::wstring final_path = (directory / name).wstring();
  const std::filesystem::path aside = aside_path(final_path);
  std::wstring reached;
  DWORD error = 0;
  platform::scoped_handle earlier(open_exactly(aside, child_final_path(directory_final, aside.filename().wstring()),
                                               DELETE | FILE_READ_ATTRIBUTES, reached, error));
  if (!earlier) return is_missing_error(error) ? 0 : error;
  if (!rename_handle(earlier.get(), final_path, true)) return sys().GetLastError();
  return 0;
}

// The temporaries and set-aside files an interrupted swap left; what cannot
// go now stays with a warning and goes with the next install.
void clear_leftovers(const std::filesystem::path& directory, const std::array<const wchar_t*, 3>& program_files,
                     bool previous_too) {
  for (const wchar_t* name : program_files) {
    std::vector<std::filesystem::path> leftovers{directory / (std::wstring(name) + L".download")};
    if (previous_too) leftovers.push_back(aside_path((directory / name).wstring()));
    for (const auto& path : leftovers) {
      if (const DWORD error = delete_in_place(path))
        spdlog::warn("Failed to delete '{}' (Error: {})", narrow_path(path), error);
    }
  }
}

void forget_or_warn() {
  LSTATUS error = 0;
  if (!forget_swap(error))
    spdlog::warn("Failed to forget the interrupted update (Error: {})", static_cast<DWORD>(error));
}

}  // namespace

void recover_interrupted_update(SC_HANDLE manager, const std::array<const wchar_t*, 3>& program_files) {
  std::optional<swap_phase> phase;
  LSTATUS read_error = 0;
  if (!read_swap_phase(phase, read_error))
    report_fatal_error("Failed to read the state of an interrupted Vora update (Error: {}).",
                       static_cast<DWORD>(read_error));
  if (!phase) return;

  const std::filesystem::path directory = install_directory();
  if (*phase == swap_phase::running) {
    spdlog::info("Finishing an interrupted update: its new installation was running");
    clear_leftovers(directory, program_files, true);
    forget_or_warn();
    return;
  }

  spdlog::info("Undoing an interrupted update: putting the earlier installation back");
  // The new service may be starting or running from files that are about
  // to go.
  if (const auto failure = stop_service_for_update(manager)) report_fatal_error(failure->message);
  DWORD error = 0;
  const std::wstring directory_final = directory_final_path(directory, error);
  if (error && !is_missing_error(error))
    report_fatal_error("Failed to put back the earlier Vora installation (Error: {}).", error);
  for (const wchar_t* name : program_files) {
    if (directory_final.empty()) break;
    if ((error = put_back(directory, directory_final, name)) != 0) {
      spdlog::error("Failed to put back the earlier '{}' (Error: {})", to_utf8(name), error);
      report_fatal_error("Failed to put back the earlier Vora installation (Error: {}).", error);
    }
  }
  clear_leftovers(directory, program_files, false);
  const std::filesystem::path service_file = directory / program_files[0];
  std::error_code ignored;
  if (std::filesystem::exists(service_file, ignored)) {
    if (const auto failure = register_and_start(manager, service_file.wstring(), false))
      report_fatal_error(failure->message);
  }
  forget_or_warn();
  spdlog::info("Restored the earlier installation");
}

}  // namespace vora
