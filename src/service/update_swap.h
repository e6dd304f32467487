// The steps that put verified new program files in place of an installation,
// with their undo, as a plan for run_plan: hold, stop, set aside, place,
// configure, start, confirm, commit. The same steps finish or undo an update
// that a kill interrupted: then no new file is held, and each undo works
// from the fixed names alone.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "download/held_image.h"
#include "platform/scoped.h"
#include "platform/win32_types.h"
#include "service/previous_install.h"
#include "service/update_plan.h"

namespace vora {

struct update_swap {
  SC_HANDLE manager = nullptr;
  // VoraAntiCheat was registered before the update: it is stopped, kept and
  // set to the new files, and on undo set back and started.
  bool earlier_service = false;
  // The verified new files, held since their download; null when a later
  // run finishes or undoes a killed update.
  per_program_file<held_image>* fresh = nullptr;
  // Once the new service was confirmed running (raises the release record).
  std::function<void()> on_running;

  // Filled in by the steps.
  previous_install previous;
  per_program_file<bool> in_place{};
  bool earlier_files = false;               // some earlier program file was there
  platform::scoped_service_handle service;  // from configure to confirm
  bool created_service = false;
  bool started = false;
  bool restoring = false;  // an undo that puts something back began
  bool journaled = false;
  std::wstring service_path;
  std::uint64_t script_bytes = 0;

  // An earlier installation to put back on failure; with none, what a failed
  // first install placed stays, as it always has.
  bool puts_back() const { return fresh == nullptr || earlier_files; }
};

inline constexpr const char* swap_commit_step = "commit";

std::vector<plan_step> swap_steps(update_swap& swap);

// Records each step under HKLM\SOFTWARE\Vora once there is an earlier
// installation to lose; a first install has nothing to recover.
plan_journal swap_journal(update_swap& swap);

}  // namespace vora
