#include "service/running_setup.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "files/directories.h"
#include "files/protected_directory.h"
#include "files/safe_files.h"
#include "platform/crt.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/swap_journal.h"

namespace vora {
namespace {

struct moved_setup {
  platform::scoped_handle file;    // the running image, opened with DELETE access
  platform::scoped_handle folder;  // the protected folder, held without delete sharing
  std::wstring home;               // its path before the move
  std::wstring target;             // its path in the folder
  std::filesystem::path folder_path;
};

moved_setup& moved() {
  static moved_setup state;
  return state;
}

std::wstring module_path() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length = sys().GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  return std::wstring(buffer.data(), length);
}

bool lies_inside(const std::wstring& path, const std::wstring& directory) {
  return path.size() > directory.size() + 1 && path[directory.size()] == std::filesystem::path::preferred_separator &&
         platform::equal_ignoring_case(path.substr(0, directory.size()), directory);
}

// A new folder under Program Files, where a standard user can create
// nothing, with a name nobody can have guessed.
bool make_protected_folder(std::filesystem::path& folder, platform::scoped_handle& held, DWORD& error) {
  const std::filesystem::path program_files = install_directory().parent_path();
  const std::wstring parent_final = directory_final_path(program_files, error);
  if (parent_final.empty()) return false;
  const std::wstring name = L"VoraSetup-" + unguessable_name_part();
  folder = program_files / name;
  std::vector<std::string> notes;
  directory_rules rules;
  rules.no_links = true;
  error = secure_directory(folder, child_final_path(parent_final, name), rules, notes, held);
  for (const std::string& note : notes) spdlog::warn("{}", note);
  return error == 0 && held.valid();
}

// The file the process was started from, opened without following a link.
platform::scoped_handle open_module_file(const std::wstring& path) {
  return platform::scoped_handle(sys().CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The running image's identity, read when the run began.
std::optional<platform::file_id_info>& running_image() {
  static std::optional<platform::file_id_info> identity;
  return identity;
}

void forget_record() {
  if (auto cause = forget_moved_setup())
    spdlog::warn("Failed to forget the running setup's move (Error: {})", cause->error);
}

}  // namespace

void note_running_image() {
  running_image().reset();
  const std::wstring path = module_path();
  platform::scoped_handle file = path.empty() ? platform::scoped_handle() : open_module_file(path);
  platform::file_id_info identity{};
  if (file && read_file_id(file.get(), identity)) running_image() = identity;
}

void move_running_setup_out() {
  const std::wstring path = module_path();
  if (path.empty()) {
    spdlog::warn("Failed to find the running setup's own file (Error: {})", sys().GetLastError());
    return;
  }
  // Only a setup started from inside the install directory, where a
  // standard user can change nothing: a path elsewhere may have been turned
  // into a link into it since the process started.
  if (!lies_inside(path, install_directory().wstring())) return;
  platform::scoped_handle file = open_module_file(path);
  std::wstring where;
  platform::file_id_info identity{};
  if (!file || !final_path_of(file.get(), where) || !read_file_id(file.get(), identity)) {
    spdlog::warn("Failed to open the running setup '{}' (Error: {})", to_utf8(path), sys().GetLastError());
    return;
  }
  DWORD error = 0;
  const std::wstring install = directory_final_path(install_directory(), error);
  if (install.empty() || !lies_inside(where, install)) return;
  // Moving any other file would take it out of the installation.
  if (!running_image() || !same_file_id(*running_image(), identity)) {
    spdlog::warn("'{}' is not the running setup; it stays where it is", to_utf8(path));
    return;
  }

  std::filesystem::path folder;
  platform::scoped_handle held;
  if (!make_protected_folder(folder, held, error)) {
    spdlog::warn("Failed to create a protected folder for the running setup (Error: {})", error);
    return;
  }
  const std::wstring target = (folder / L"VoraSetup.exe").wstring();
  // Recorded first: a run killed from here on is followed by one that puts
  // the file back, so the entry and the script never name a missing setup.
  if (auto cause = record_moved_setup({target, where})) {
    held.reset();
    delete_in_place(folder);
    spdlog::warn("{}", cause->message);
    return;
  }
  if (!rename_by_handle(file.get(), target, if_target_exists::fail)) {
    error = sys().GetLastError();
    held.reset();
    delete_in_place(folder);
    forget_record();
    spdlog::warn("Failed to move the running setup out of the install directory (Error: {})", error);
    return;
  }
  spdlog::info("Moved the running setup out of the install directory to '{}'", to_utf8(target));

  moved_setup& state = moved();
  state.file = std::move(file);
  state.folder = std::move(held);
  state.home = where;
  state.target = target;
  state.folder_path = folder;
  set_fatal_error_undo([] { return_running_setup(); });
}

void settle_running_setup() {
  moved_setup& state = moved();
  if (!state.file) return;
  // The file cannot go while it runs; the folder can only go once it has.
  if ((sys().MoveFileExW(state.target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) == 0) ||
      (sys().MoveFileExW(state.folder_path.wstring().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) == 0))
    spdlog::warn("Failed to schedule '{}' for removal at restart (Error: {})", narrow_path(state.folder_path),
                 sys().GetLastError());
  forget_record();
  state.file.reset();
  set_fatal_error_undo(nullptr);
}

bool return_running_setup() {
  moved_setup& state = moved();
  if (!state.file) return true;
  if (!rename_by_handle(state.file.get(), state.home, if_target_exists::fail)) {
    spdlog::warn("Failed to move the running setup back to '{}' (Error: {})", to_utf8(state.home),
                 sys().GetLastError());
    return false;
  }
  spdlog::info("Moved the running setup back to '{}'", to_utf8(state.home));
  state.file.reset();
  state.folder.reset();
  delete_in_place(state.folder_path);
  forget_record();
  return true;
}

}  // namespace vora
