#include "service/swap_recovery.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "base/text.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "files/staging_directory.h"
#include "platform/call_faults.h"
#include "platform/system.h"
#include "service/swap_journal.h"
#include "service/update_plan.h"
#include "service/update_swap.h"

namespace vora {
namespace {

// Setups before the step journal wrote only these two.
swap_record from_earlier_setups(swap_record record) {
  if (record.step == "swapping") return {"start", true};
  if (record.step == "running") return {swap_commit_step, true};
  return record;
}

outcome finish_or_undo(SC_HANDLE manager) {
  std::optional<swap_record> record;
  if (auto cause = read_swap_record(record)) return cause;
  if (!record) return std::nullopt;
  *record = from_earlier_setups(*record);
  // A sweep's kill or failure at a call of the recovery counts from here.
  platform::count_calls_from_here();

  update_swap swap;
  swap.manager = manager;
  swap.earlier_service = record->earlier_service;
  swap.journaled = true;
  // Without one, the journal is an earlier setup's, with its fixed names.
  std::optional<std::wstring> run_part;
  if (auto cause = read_swap_run(run_part)) return cause;
  if (run_part) swap.previous.run_part = *run_part;
  const std::vector<plan_step> steps = swap_steps(swap);
  // A step this setup never writes: nobody can tell which installation is
  // whole, so nothing may guess.
  if (std::none_of(steps.begin(), steps.end(), [&](const plan_step& step) { return step.name == record->step; }))
    return unreadable_journal(static_cast<LSTATUS>(ERROR_INVALID_DATA));
  plan_journal journal = swap_journal(swap);
  journal.undoing = [](const std::string&) {};
  const bool forward = record->step == swap_commit_step;
  spdlog::info(forward ? "Finishing an interrupted update: its new installation was running"
                       : "Undoing an interrupted update: putting the earlier installation back");
  const plan_outcome ran = resume_plan(steps, swap_commit_step, record->step, journal);
  if (platform::calls_counted() != 0)
    spdlog::info("The recovery made {} calls through the platform", platform::calls_counted());
  if (ran.failure) {
    spdlog::error("{}", ran.failure->message);
    return failure{"Failed to put back the earlier Vora installation."};
  }
  if (!forward) {
    // What the killed run had downloaded.
    clear_staging_directory({});
    release_staging_directory();
    spdlog::info("Restored the earlier installation");
  }
  return std::nullopt;
}

// The setup a killed run had moved out of the install directory goes back
// under its name; when a new setup took that name, it is deleted instead.
outcome return_moved_setup() {
  std::optional<moved_setup_record> record;
  if (auto cause = read_moved_setup(record)) return cause;
  if (!record) return std::nullopt;
  const std::filesystem::path moved(record->moved);
  const std::filesystem::path folder = moved.parent_path();
  DWORD folder_error = 0;
  const std::wstring folder_final = directory_final_path(folder, folder_error);
  std::wstring reached;
  DWORD open_error = 0;
  platform::scoped_handle file;
  if (!folder_final.empty())
    file.reset(open_exactly(moved, child_final_path(folder_final, moved.filename().wstring()),
                            DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, reached, open_error));
  if (file && rename_by_handle(file.get(), record->home, if_target_exists::fail)) {
    spdlog::info("Moved the setup an interrupted run had moved out back to '{}'", to_utf8(record->home));
  } else if (file && (open_error = delete_by_handle(file.get())) != 0) {
    spdlog::warn("Failed to delete '{}' (Error: {})", narrow_path(moved), open_error);
  }
  file.reset();
  if (!folder_final.empty()) delete_exactly(folder, folder_final);
  if (auto cause = forget_moved_setup()) spdlog::warn("{}", cause->message);
  return std::nullopt;
}

}  // namespace

outcome forget_recovery_once_removed(const failure& put_back) {
  if (sys().GetFileAttributesW(install_directory().wstring().c_str()) != INVALID_FILE_ATTRIBUTES) return put_back;
  if (auto cause = forget_swap()) return cause;
  spdlog::info("Forgot the interrupted update: nothing of the installation is left");
  return std::nullopt;
}

outcome recover_interrupted_update(SC_HANDLE manager) {
  if (auto cause = finish_or_undo(manager)) return cause;
  return return_moved_setup();
}

}  // namespace vora
