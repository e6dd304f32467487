// Walks and removals that never follow a link. The program runs elevated in
// folders a standard user may have prepared: a junction or symbolic link met
// there is removed as a link, or left alone, but never descended into and
// never deleted through. std::filesystem cannot see links in the Windows
// build, so everything here goes through the platform's own calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace vora {

struct directory_entry {
  std::wstring name;
  DWORD attributes = 0;
  std::int64_t last_write = 0;  // FILETIME ticks
};

// Junctions, symbolic links and every other reparse point.
bool is_link(DWORD attributes);

// The Windows errors that mean "there is nothing at that path".
bool is_missing_error(DWORD error);

// The entries of a directory, without "." and "..". False with the error.
bool list_directory(const std::filesystem::path& directory, std::vector<directory_entry>& entries, DWORD& error);

// The volume and file ID of an open file: what names it whatever its path.
// False with the system's last error.
bool read_file_id(HANDLE file, platform::file_id_info& identity);
bool same_file_id(const platform::file_id_info& a, const platform::file_id_info& b);

// The final path of an open handle without the long-path prefix; false
// (path unchanged) when the platform cannot tell.
bool final_path_of(HANDLE handle, std::wstring& path);

// What renaming onto a name that is taken does.
enum class if_target_exists { fail, replace };

// Gives the open file or directory a new full path, by its handle (opened
// with DELETE access); the handle stays open either way. False with the
// system's last error.
bool rename_by_handle(HANDLE handle, const std::wstring& target, if_target_exists existing);

// The final path of a directory reached the ordinary way (links followed),
// for the folders above the ones this program walks. Empty with the error.
std::wstring directory_final_path(const std::filesystem::path& directory, DWORD& error);

// Deletes one file or link (never what a link points to) in a folder of its
// own: 0 when it is gone or was never there, else the Windows error.
DWORD delete_in_place(const std::filesystem::path& path);

// Opens the entry itself (a link, not its target) with the given access and
// sharing. Succeeds only when the handle's final path is expected_final, so
// a handle that a link redirected elsewhere is closed again; its final path
// is then in reached and the error is ERROR_CANT_RESOLVE_FILENAME.
HANDLE open_exactly(const std::filesystem::path& path, const std::wstring& expected_final, DWORD access,
                    std::wstring& reached, DWORD& error,
                    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

// Deletes the entry behind a handle opened with DELETE access (a read-only
// file too): 0 or the Windows error. The name goes once the last handle does.
DWORD delete_by_handle(HANDLE handle);

// Deletes one file, link or empty directory through a handle opened by
// open_exactly. 0 or the Windows error; a missing entry is no error.
DWORD delete_exactly(const std::filesystem::path& path, const std::wstring& expected_final);

// Removes a file, link or whole tree without following links: a link is
// removed as a link, or, where that cannot be done without reaching its
// target, left in place, with a warning unless links is quiet. 0 when
// the path is gone or was never there, else the first Windows error.
enum class link_report { warn, quiet };
DWORD remove_tree(const std::filesystem::path& path, link_report links);

// Renames the entry itself (a link as a link, never its target) to a free
// name beside it, "<name>.untrusted-<seconds>[-n]", and past a few taken
// ones a name nobody can have prepared. False with the error,
// ERROR_CANT_RESOLVE_FILENAME when that cannot be done without reaching a
// link's target.
bool move_aside(const std::filesystem::path& path, const std::wstring& expected_final, std::filesystem::path& aside,
                DWORD& error);

// Sixteen hex digits from the system's random source, for a name nobody can
// have prepared in advance.
std::wstring unguessable_name_part();

// The final path a child of an already resolved directory must have.
std::wstring child_final_path(const std::wstring& parent_final, const std::wstring& name);

}  // namespace vora
