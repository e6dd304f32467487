#include "service/previous_install.h"

#include <spdlog/spdlog.h>

#include <filesystem>

#include "base/text.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "files/staging_directory.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr DWORD held_file_access = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// A scanner or a reader lets go within moments; a program that keeps the
// file is not waited for any longer than this.
constexpr int hold_attempts = 12;
constexpr std::uint32_t hold_pause_ms = 250;

bool is_open(const platform::scoped_handle& handle) { return handle.valid(); }

}  // namespace

bool previous_install::any() const {
  for (const auto& file : files) {
    if (is_open(file)) return true;
  }
  return false;
}

std::wstring aside_path(const std::wstring& final_path, const std::wstring& run_part) {
  std::wstring name = std::filesystem::path(final_path).filename().wstring();
  if (!run_part.empty()) name += L"." + run_part;
  return (staging_directory() / (name + L".previous")).wstring();
}

bool hold_previous_files(const per_program_file<const wchar_t*>& names, previous_install& previous, std::size_t& failed,
                         DWORD& error) {
  const std::filesystem::path directory = install_directory();
  error = 0;
  const std::wstring directory_final = directory_final_path(directory, error);
  if (error != 0u) {
    if (is_missing_error(error)) {
      error = 0;
      return true;
    }
    failed = 0;
    spdlog::error("Failed to inspect installation directory '{}' (Error: {})", narrow_path(directory), error);
    return false;
  }

  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::filesystem::path path = directory / names[i];
    const std::wstring wide = path.wstring();
    previous.final_paths[i] = wide;
    for (int attempt = 1;; ++attempt) {
      std::wstring reached;
      previous.files[i].reset(
          open_exactly(path, child_final_path(directory_final, names[i]), held_file_access, reached, error));
      if (is_open(previous.files[i]) || is_missing_error(error)) {
        error = 0;
        break;
      }
      if (error == ERROR_SHARING_VIOLATION && attempt == hold_attempts && i != service_file) {
        spdlog::warn("Installed '{}' is held by another program; the new one replaces it at the next restart",
                     narrow_path(path));
        previous.deferred[i] = true;
        error = 0;
        break;
      }
      if (error != ERROR_SHARING_VIOLATION || attempt == hold_attempts) {
        failed = i;
        spdlog::error("Failed to take hold of installed '{}' for replacement (Error: {})", narrow_path(path), error);
        return false;
      }
      sys().sleep_ms(hold_pause_ms);
    }
  }
  return true;
}

bool set_previous_files_aside(previous_install& previous, std::size_t& failed, DWORD& error) {
  for (std::size_t i = 0; i < previous.files.size(); ++i) {
    if (!is_open(previous.files[i])) continue;
    const std::wstring aside = aside_path(previous.final_paths[i], previous.run_part);
    // A leftover of an install whose old broker was still running.
    const DWORD leftover_error = delete_in_place(aside);
    if ((leftover_error != 0u) || !rename_by_handle(previous.files[i].get(), aside, if_target_exists::replace)) {
      error = leftover_error != 0u ? leftover_error : sys().GetLastError();
      failed = i;
      spdlog::error("Failed to set installed '{}' aside (Error: {})", to_utf8(previous.final_paths[i]), error);
      return false;
    }
    previous.aside[i] = true;
  }
  return true;
}

bool restore_previous_files(previous_install& previous) {
  bool all = true;
  for (std::size_t i = 0; i < previous.files.size(); ++i) {
    if (!previous.aside[i]) continue;
    if (rename_by_handle(previous.files[i].get(), previous.final_paths[i], if_target_exists::replace)) {
      previous.aside[i] = false;
      continue;
    }
    all = false;
    spdlog::error("Failed to put back '{}' (Error: {})", to_utf8(previous.final_paths[i]), sys().GetLastError());
  }
  return all;
}

void discard_previous_files(previous_install& previous) {
  for (std::size_t i = 0; i < previous.files.size(); ++i) {
    if (previous.aside[i]) {
      const DWORD error = delete_by_handle(previous.files[i].get());
      if (error != 0u)
        spdlog::warn("Failed to delete '{}' (Error: {})",
                     to_utf8(aside_path(previous.final_paths[i], previous.run_part)), error);
      previous.aside[i] = false;
    }
    previous.files[i].reset();
  }
}

}  // namespace vora
