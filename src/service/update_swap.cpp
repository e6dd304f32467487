#include "service/update_swap.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <filesystem>

#include "base/text.h"
#include "download/download.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "files/staging_directory.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/install.h"
#include "service/names.h"
#include "service/registration.h"
#include "service/swap_journal.h"

namespace vora {
namespace {

std::wstring installed_path(std::size_t i) { return (install_directory() / program_files[i]).wstring(); }

// An earlier file set aside in the staging folder, opened exactly there.
platform::scoped_handle open_aside(const update_swap& swap, std::size_t i, DWORD& error) {
  const std::wstring staging_final = staging_final_path(error);
  if (staging_final.empty()) return platform::scoped_handle();
  const std::filesystem::path aside = aside_path(installed_path(i), swap.previous.run_part);
  std::wstring reached;
  return platform::scoped_handle(open_exactly(aside, child_final_path(staging_final, aside.filename().wstring()),
                                              DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, reached, error));
}

// A held earlier file's replacement: the verified file waits in the staging
// folder under a name of this update's own, and the restart moves it into
// place.
outcome stage_for_restart(update_swap& swap, std::size_t i) {
  held_image& file = (*swap.fresh)[i];
  const std::wstring pending =
      (staging_directory() / (std::wstring(program_files[i]) + L"." + swap.previous.run_part + pending_suffix))
          .wstring();
  DWORD error = 0;
  if (!rename_by_handle(file.handle.get(), pending, if_target_exists::fail)) {
    error = sys().GetLastError();
  } else {
    file.path = pending;
    if (sys().MoveFileExW(pending.c_str(), installed_path(i).c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING) == 0)
      error = sys().GetLastError();
  }
  if (error != 0) return fail_with(error, "Failed to put {} in place (Error: {}).", to_utf8(program_files[i]), error);
  spdlog::info("The new '{}' waits in '{}' for the next restart", to_utf8(program_files[i]), to_utf8(pending));
  return std::nullopt;
}

// After a kill: deletes the installed file i only when it is the new file
// the update recorded; an earlier file already put back, or one this setup
// does not recognise, stays.
void take_away_placed(std::size_t i, const platform::file_id_info& placed) {
  DWORD error = 0;
  const std::wstring folder_final = directory_final_path(install_directory(), error);
  std::wstring reached;
  platform::scoped_handle file;
  if (!folder_final.empty())
    file.reset(open_exactly(installed_path(i), child_final_path(folder_final, program_files[i]),
                            DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, reached, error));
  if (!file) {
    if (!is_missing_error(error)) spdlog::warn("Failed to open '{}' (Error: {})", to_utf8(installed_path(i)), error);
    return;
  }
  platform::file_id_info identity{};
  if (!read_file_id(file.get(), identity)) {
    spdlog::warn("Failed to read the identity of '{}' (Error: {})", to_utf8(installed_path(i)), sys().GetLastError());
    return;
  }
  if (!same_file_id(identity, placed)) return;
  if ((error = delete_by_handle(file.get())) != 0)
    spdlog::warn("Failed to delete '{}' (Error: {})", to_utf8(installed_path(i)), error);
}

// What earlier runs left in the staging folder, except this run's
// downloads; and the temporaries that earlier setups kept beside the
// installed files.
void clear_leftovers(const update_swap& swap) {
  std::vector<std::wstring> keep;
  for (std::size_t i = 0; swap.fresh && i < program_files.size(); ++i)
    keep.push_back(download_temp_path(program_files[i]));
  clear_staging_directory(keep);
  for (const wchar_t* name : program_files) {
    for (const wchar_t* suffix : {L".download", L".previous"}) {
      const std::filesystem::path path = install_directory() / (std::wstring(name) + suffix);
      if (const DWORD error = delete_in_place(path))
        spdlog::warn("Failed to delete '{}' (Error: {})", narrow_path(path), error);
    }
  }
}

// hold: every earlier file is opened with DELETE access while its service
// still runs, so nobody can take a hold on it from here on.
plan_step hold_step(update_swap& swap) {
  return {"hold",
          [&swap]() -> outcome {
            clear_leftovers(swap);
            std::size_t failed = 0;
            DWORD error = 0;
            const bool held = hold_previous_files(program_files, swap.previous, failed, error);
            swap.earlier_files = swap.previous.any();
            if (held) return std::nullopt;
            return fail_with(error, "Failed to take hold of the installed {} (Error: {}).",
                             to_utf8(program_files[failed]), error);
          },
          [&swap] {
            for (auto& file : swap.previous.files) file.reset();
            return true;
          }};
}

// stop: the earlier service holds its files until it has stopped; its
// registration stays. Undone last of all: the earlier registration is set
// back to its files, which are in place again by then, and started.
plan_step stop_step(update_swap& swap) {
  return {"stop",
          [&swap]() -> outcome {
            if (!swap.earlier_service) return std::nullopt;
            if (auto cause = stop_service_for_update(swap.manager)) return cause;
            return std::nullopt;
          },
          [&swap] {
            if (!swap.earlier_service) return true;
            // Waits out a stop that was still under way.
            auto cause = stop_service_for_update(swap.manager);
            if (!cause) cause = register_and_start(swap.manager, installed_path(service_file));
            if (!cause) return true;
            spdlog::error("Failed to restore the earlier installation: {}", cause->message);
            return false;
          }};
}

// set aside: the earlier files move into the staging folder by their
// handles. Undone by putting each back under its name, replacing whatever
// took it; by handle while this run holds them, by name after a kill.
plan_step set_aside_step(update_swap& swap) {
  return {"set-aside",
          [&swap]() -> outcome {
            std::size_t failed = 0;
            DWORD error = 0;
            if (set_previous_files_aside(swap.previous, failed, error)) return std::nullopt;
            return fail_with(error, "Failed to set aside the earlier {} (Error: {}).", to_utf8(program_files[failed]),
                             error);
          },
          [&swap] {
            if (!restore_previous_files(swap.previous)) return false;
            bool whole = true;
            for (std::size_t i = 0; i < program_files.size(); ++i) {
              if (swap.previous.files[i]) continue;
              DWORD error = 0;
              platform::scoped_handle aside = open_aside(swap, i, error);
              if (!aside && is_missing_error(error)) continue;
              if (!aside || !rename_by_handle(aside.get(), installed_path(i), if_target_exists::replace)) {
                if (aside) error = sys().GetLastError();
                spdlog::error("Failed to put back the earlier '{}' (Error: {})", to_utf8(program_files[i]), error);
                whole = false;
              }
            }
            return whole;
          }};
}

// place: the identities of the verified files are recorded, then they take
// their final names by their handles, and the uninstall script is written
// beside them. Undone by taking the new files away again: back to their
// temporary names while this run holds them; after a kill, those with an
// earlier file set aside are replaced by it, and the others are deleted
// when they are still the recorded new files.
plan_step place_step(update_swap& swap) {
  return {
      "place",
      [&swap]() -> outcome {
        if (swap.journaled) {
          placed_file_ids ids{};
          for (std::size_t i = 0; i < program_files.size(); ++i) {
            platform::file_id_info id{};
            if (!read_file_id((*swap.fresh)[i].handle.get(), id)) {
              const DWORD error = sys().GetLastError();
              return fail_with(error, "Failed to put {} in place (Error: {}).", to_utf8(program_files[i]), error);
            }
            ids[i] = id;
          }
          if (auto cause = record_placed_files(ids)) return cause;
        }
        for (std::size_t i = 0; i < program_files.size(); ++i) {
          held_image& file = (*swap.fresh)[i];
          if (swap.previous.deferred[i]) {
            if (auto cause = stage_for_restart(swap, i)) return cause;
            continue;
          }
          std::wstring final_path;
          DWORD error = 0;
          const bool placed = place_verified_file(program_files[i], file, final_path, &error);
          // A file renamed before its identity check failed is in place too.
          swap.in_place[i] = placed || file.handle.get() != nullptr;
          if (!placed)
            return fail_with(error, "Failed to put {} in place (Error: {}).", to_utf8(program_files[i]), error);
          if (i == 0) swap.service_path = final_path;
        }
        if (!write_uninstall_script(install_directory() / L"UninstallVora.bat", &swap.script_bytes))
          spdlog::warn("Failed to create uninstall bat");
        return std::nullopt;
      },
      [&swap] {
        if (!swap.puts_back()) return true;
        std::optional<placed_file_ids> placed;
        if (!swap.fresh) {
          if (auto cause = read_placed_files(placed)) {
            spdlog::error("{}", cause->message);
            return false;
          }
          // An earlier setup's journal names no identities: what cannot be
          // recognised is not deleted.
          if (!placed) spdlog::warn("The interrupted update recorded no new files; the installed files stay");
          if (!swap.previous.run_part.empty()) remove_pending_files(swap.previous.run_part, false);
        }
        for (std::size_t i = 0; i < program_files.size(); ++i) {
          if (swap.fresh) {
            held_image& file = (*swap.fresh)[i];
            // A replacement waiting for the restart goes, and its move with it.
            if (swap.previous.deferred[i] && file.handle && file.path.ends_with(pending_suffix)) {
              if (const DWORD error = delete_by_handle(file.handle.get()))
                spdlog::warn("Failed to delete '{}' (Error: {})", to_utf8(file.path), error);
              file.dispose();
              continue;
            }
            if (!swap.in_place[i] || !file.handle) continue;
            if (!rename_by_handle(file.handle.get(), download_temp_path(program_files[i]), if_target_exists::replace)) {
              if (const DWORD error = delete_by_handle(file.handle.get()))
                spdlog::warn("Failed to delete '{}' (Error: {})", to_utf8(file.path), error);
              file.dispose();
            }
            swap.in_place[i] = false;
            continue;
          }
          if (!placed || !(*placed)[i]) continue;
          DWORD error = 0;
          if (open_aside(swap, i, error) || !is_missing_error(error)) continue;
          // The earlier setup may have moved itself out instead; it comes
          // back once the swap is undone. A new file that cannot go yet
          // stays: it is one of the release's own.
          take_away_placed(i, *(*placed)[i]);
        }
        return true;
      }};
}

// configure: the registration is set to this setup's configuration and the
// new service file, or made when there was none. Undone by deleting a
// registration made here; a kept one is set back by the stop step's undo.
plan_step configure_step(update_swap& swap) {
  return {"configure",
          [&swap]() -> outcome {
            if (auto cause = configure_service(swap.manager, swap.service_path, swap.service, swap.created_service))
              return cause;
            return std::nullopt;
          },
          [&swap] {
            swap.service.reset();
            if (!swap.created_service || !swap.puts_back()) return true;
            swap.created_service = !delete_service_registration(swap.manager);
            return !swap.created_service;
          }};
}

// start: undone by stopping the new service, whose files are about to go.
plan_step start_step(update_swap& swap) {
  return {"start",
          [&swap]() -> outcome {
            // Registered meanwhile by somebody else: left as it is.
            if (!swap.service) return std::nullopt;
            if (auto cause = start_service(swap.service.get(), swap.started)) return cause;
            return std::nullopt;
          },
          [&swap] {
            if (!swap.puts_back()) return true;
            const auto cause = stop_service_for_update(swap.manager);
            if (cause) spdlog::error("Failed to restore the earlier installation: {}", cause->message);
            return !cause;
          }};
}

// confirm: the new service runs; only a release that runs raises the
// record of the highest release installed. On an update, one that does not
// run fails the update, which puts the earlier release back; a first
// install has nothing to go back to and keeps its files.
plan_step confirm_step(update_swap& swap) {
  return {"confirm",
          [&swap]() -> outcome {
            // One that was running already is not waited for.
            if (swap.service && swap.started) {
              if (auto cause = confirm_service_running(swap.service.get(), swap.earlier_files)) return cause;
            }
            swap.service.reset();
            if (swap.on_running) swap.on_running();
            return std::nullopt;
          },
          [] { return true; }};
}

// commit: from here on the update only goes forward. The earlier files and
// every leftover go, and with them the staging folder.
plan_step commit_step(update_swap& swap) {
  return {swap_commit_step,
          [&swap]() -> outcome {
            discard_previous_files(swap.previous);
            // Every program file is this update's now: what earlier ones left
            // to wait for the restart would only move an older file in.
            remove_pending_files(swap.previous.run_part, true);
            clear_leftovers(swap);
            release_staging_directory();
            return std::nullopt;
          },
          [] { return true; }};
}

}  // namespace

std::vector<plan_step> swap_steps(update_swap& swap) {
  return {hold_step(swap),      stop_step(swap),  set_aside_step(swap), place_step(swap),
          configure_step(swap), start_step(swap), confirm_step(swap),   commit_step(swap)};
}

plan_journal swap_journal(update_swap& swap) {
  plan_journal journal;
  journal.record = [&swap](const std::string& step) -> outcome {
    if (!swap.journaled && !swap.earlier_service && !swap.earlier_files) return std::nullopt;
    // The names this run sets files aside under, before anything is.
    if (!swap.journaled) {
      if (auto cause = record_swap_run(swap.previous.run_part)) return cause;
    }
    if (auto cause = record_swap_step({step, swap.earlier_service})) return cause;
    swap.journaled = true;
    return std::nullopt;
  };
  journal.forget = [&swap] {
    if (swap.journaled) {
      if (auto cause = forget_swap()) spdlog::warn("{}", cause->message);
    }
    swap.journaled = false;
  };
  // Holding changes nothing there is to restore.
  journal.undoing = [&swap](const std::string& from_step) {
    swap.restoring = swap.puts_back() && from_step != "hold";
    if (swap.restoring) spdlog::info("Restoring the earlier installation");
  };
  return journal;
}

}  // namespace vora
