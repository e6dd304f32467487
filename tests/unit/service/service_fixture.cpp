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

template <typename T>
T fail_with(DWORD error, T result) {
  sys().SetLastError(error);
  return result;
}

std::optional<std::wstring> text_or_null(LPCWSTR text) {
  return text ? std::optional<std::wstring>(text) : std::nullopt;
}

// As asked; ChangeServiceConfigW names no service and asks no access.
fake_service_manager::registration written(LPCWSTR name, DWORD access, LPCWSTR display, LPCWSTR path, DWORD type,
                                           DWORD start, DWORD error_control, LPCWSTR group, LPDWORD tag,
                                           LPCWSTR dependencies, LPCWSTR account, LPCWSTR password) {
  return {.name = text_or_null(name).value_or(L""),
          .access = access,
          .display = text_or_null(display).value_or(L""),
          .binary_path = text_or_null(path).value_or(L""),
          .type = type,
          .start = start,
          .error_control = error_control,
          .account = text_or_null(account).value_or(L""),
          .password = text_or_null(password),
          .group = text_or_null(group),
          .dependencies = text_or_null(dependencies),
          .tag_requested = tag != nullptr};
}

}  // namespace

// The handle checks are what a real manager would refuse: handles it never
// gave out, and services it does not hold.
fake_service_manager::fake_service_manager(std::vector<std::string>& events) : events_(events) {
  auto& t = sys();
  t.OpenServiceW = [this](SC_HANDLE manager, LPCWSTR name, DWORD access) -> SC_HANDLE {
    EXPECT_EQ(manager, fake_manager);
    EXPECT_EQ(std::wstring(name), L"VoraAntiCheat");
    events_.push_back("OpenServiceW " + std::to_string(access));
    if (open_error != 0) return fail_with<SC_HANDLE>(open_error, nullptr);
    if (!registered) return fail_with<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    if (access == SERVICE_QUERY_STATUS) return fake_probe;
    const bool full = access == SERVICE_ALL_ACCESS || access == (DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    return full ? fake_service : fake_old_service;
  };
  t.ChangeServiceConfigW = [this](SC_HANDLE service, DWORD type, DWORD start, DWORD error_control, LPCWSTR path,
                                  LPCWSTR group, LPDWORD tag, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password,
                                  LPCWSTR display) -> BOOL {
    events_.push_back("ChangeServiceConfigW");
    EXPECT_EQ(service, fake_service);
    reconfigured =
        written(nullptr, 0, display, path, type, start, error_control, group, tag, dependencies, account, password);
    if (reconfigure_error == ERROR_SERVICE_MARKED_FOR_DELETE) registered = false;
    return reconfigure_error != 0 ? fail_with<BOOL>(reconfigure_error, FALSE) : TRUE;
  };
  t.CreateServiceW = [this](SC_HANDLE manager, LPCWSTR name, LPCWSTR display, DWORD access, DWORD type, DWORD start,
                            DWORD error_control, LPCWSTR path, LPCWSTR group, LPDWORD tag, LPCWSTR dependencies,
                            LPCWSTR account, LPCWSTR password) -> SC_HANDLE {
    events_.push_back("CreateServiceW");
    EXPECT_EQ(manager, fake_manager);
    created =
        written(name, access, display, path, type, start, error_control, group, tag, dependencies, account, password);
    if (create_error != 0) return fail_with<SC_HANDLE>(create_error, nullptr);
    registered = true;
    return fake_service;
  };
  t.ChangeServiceConfig2W = [this](SC_HANDLE service, DWORD level, LPVOID) -> BOOL {
    EXPECT_EQ(service, fake_service);
    events_.push_back("ChangeServiceConfig2W " + std::to_string(level));
    const DWORD error = level == SERVICE_CONFIG_DESCRIPTION       ? description_error
                        : level == SERVICE_CONFIG_FAILURE_ACTIONS ? failure_actions_error
                                                                  : 0;
    return error != 0 ? fail_with<BOOL>(error, FALSE) : TRUE;
  };
  t.StartServiceW = [this](SC_HANDLE service, DWORD argc, LPCWSTR* argv) -> BOOL {
    EXPECT_EQ(service, fake_service);
    // The service takes no arguments.
    EXPECT_EQ(argc, 0u);
    EXPECT_EQ(argv, nullptr);
    events_.push_back("StartServiceW");
    if (start_error != 0) return fail_with<BOOL>(start_error, FALSE);
    return TRUE;
  };
  t.DeleteService = [this](SC_HANDLE service) -> BOOL {
    EXPECT_TRUE(service == fake_old_service || service == fake_service);
    // "new": the registration the logic created itself.
    events_.push_back(service == fake_service && created ? "DeleteService new" : "DeleteService");
    if (delete_error != 0) return fail_with<BOOL>(delete_error, FALSE);
    registered = false;
    return TRUE;
  };
}

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
