#include "app/single_instance.h"

#include <utility>

#include "app/entry.h"
#include "files/directories.h"
#include "files/protected_directory.h"

namespace vora {

std::filesystem::path single_instance_lock_path() { return install_directory().parent_path() / L"VoraSetup.lock"; }

HANDLE open_single_instance_lock(DWORD& error) {
  PACL dacl = nullptr;
  error = build_protected_dacl(dacl, {.users_read = false});
  if (error != 0u) return nullptr;
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = &descriptor;
  HANDLE lock = INVALID_HANDLE_VALUE;
  if (protected_descriptor(descriptor, dacl)) {
    const std::wstring path = single_instance_lock_path().wstring();
    // Never through a link: only administrators could have left one, but
    // the lock is no reason to follow it.
    lock = sys().CreateFileW(path.c_str(), DELETE | SYNCHRONIZE, 0, &attributes, OPEN_ALWAYS,
                             FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  error = lock == INVALID_HANDLE_VALUE ? sys().GetLastError() : 0;
  sys().LocalFree(dacl);
  return lock == INVALID_HANDLE_VALUE ? nullptr : lock;
}

outcome take_single_instance_guard(bool& mutex_taken) {
  // Both held for the life of the process; the system closes them at exit.
  static HANDLE lock = nullptr;
  static HANDLE mutex = nullptr;
  // Taken again in one process only by tests: its own earlier hold goes first.
  if (lock) sys().CloseHandle(std::exchange(lock, nullptr));
  if (mutex) sys().CloseHandle(std::exchange(mutex, nullptr));
  DWORD error = 0;
  lock = open_single_instance_lock(error);
  if (lock == nullptr) return failure{instance_message, error};
  mutex = sys().CreateMutexW(nullptr, FALSE, single_instance_mutex_name);
  mutex_taken = mutex != nullptr && sys().GetLastError() == ERROR_ALREADY_EXISTS;
  return std::nullopt;
}

}  // namespace vora
