#include "service_fixture.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace vora::test {
namespace {

std::string handle_name(const void* handle) {
  if (handle == fake_manager) return "manager";
  if (handle == fake_service) return "service";
  if (handle == fake_process) return "process";
  if (handle == fake_probe) return "probe";
  if (handle == fake_old_service) return "old service";
  return "handle:" + std::to_string(reinterpret_cast<std::uintptr_t>(handle));
}

}  // namespace

service_fixture::service_fixture() {
  auto& t = sys();
  t.GetTickCount64 = [this] { return static_cast<ULONGLONG>(now); };
  t.sleep_ms = [this](std::uint32_t ms) {
    fakes.sleeps.push_back(ms);
    now += ms;
  };
  t.QueryServiceStatusEx = [this](SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) -> BOOL {
    record("QueryServiceStatusEx " + handle_name(service));
    EXPECT_EQ(level, SC_STATUS_PROCESS_INFO);
    EXPECT_EQ(size, sizeof(SERVICE_STATUS_PROCESS));
    if (needed) *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (status_script.empty()) ADD_FAILURE() << "unexpected status query";
    const auto& entry =
        status_script.empty() ? scripted_status{} : status_script[std::min(queries, status_script.size() - 1)];
    ++queries;
    if (entry.fail_with != 0) {
      sys().SetLastError(entry.fail_with);
      return FALSE;
    }
    std::memcpy(buffer, &entry.status, sizeof(entry.status));
    return TRUE;
  };
  t.ControlService = [this](SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) -> BOOL {
    record("ControlService " + handle_name(service) + " " + std::to_string(control));
    const SERVICE_STATUS zero{};
    EXPECT_EQ(std::memcmp(status, &zero, sizeof(zero)), 0) << "the status record must start zero-filled";
    return TRUE;
  };
  t.OpenProcess = [this](DWORD access, BOOL inherit, DWORD id) -> HANDLE {
    record("OpenProcess " + std::to_string(access) + " " + std::to_string(inherit) + " " + std::to_string(id));
    return fake_process;
  };
  t.WaitForSingleObject = [this](HANDLE handle, DWORD ms) -> DWORD {
    record("WaitForSingleObject " + handle_name(handle) + " " + std::to_string(ms));
    return WAIT_OBJECT_0;
  };
  // Real handles (files the downloads open) still close for real.
  auto close_handle = t.CloseHandle;
  t.CloseHandle = [this, close_handle](HANDLE handle) -> BOOL {
    if (handle != fake_process) return close_handle(handle);
    record("CloseHandle process");
    return TRUE;
  };
  t.CloseServiceHandle = [this](SC_HANDLE handle) -> BOOL {
    record("CloseServiceHandle " + handle_name(handle));
    // Closing must not be what the reported error comes from.
    sys().SetLastError(ERROR_INVALID_HANDLE);
    return TRUE;
  };
  auto show_box = t.MessageBoxA;
  t.MessageBoxA = [this, show_box](HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    record(std::string("MessageBoxA ") + text);
    return show_box(owner, text, caption, type);
  };
}

bool service_fixture::called(const std::string& event) const { return count(event) > 0; }

std::size_t service_fixture::count(const std::string& event) const {
  return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
}

std::size_t service_fixture::position(const std::string& event) const {
  const auto found = std::find(events.begin(), events.end(), event);
  return found == events.end() ? std::string::npos : static_cast<std::size_t>(found - events.begin());
}

service_fixture::scripted_status service_fixture::state(DWORD current, DWORD checkpoint, DWORD hint, DWORD process_id) {
  scripted_status entry;
  entry.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  entry.status.dwCurrentState = current;
  entry.status.dwCheckPoint = checkpoint;
  entry.status.dwWaitHint = hint;
  entry.status.dwProcessId = process_id;
  return entry;
}

undeletable_file::undeletable_file(const std::filesystem::path& path) : path_(path) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << "in use";
#ifdef _WIN32
  // Held open without delete sharing: nothing can remove it meanwhile.
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    handle_ = handle;
    locked_ = true;
  }
#else
  // Even root cannot unlink an immutable file.
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      locked_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
  }
#endif
}

undeletable_file::~undeletable_file() {
#ifdef _WIN32
  if (handle_) ::CloseHandle(handle_);
#else
  if (locked_) {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd >= 0) {
      int flags = 0;
      if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
      }
      ::close(fd);
    }
  }
#endif
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

}  // namespace vora::test
