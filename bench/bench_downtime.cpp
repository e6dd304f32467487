// Watches the VoraAntiCheat service through a reinstall: the time from its
// last RUNNING before it leaves that state to its first RUNNING again.
// Usage: bench_downtime <timeout seconds>. Prints "downtime_seconds: S" (or
// "downtime_seconds: none" when it never left RUNNING) once the service runs
// again, or when the time is up. bench_downtime restart stops the service
// and starts it again, from one process: the least downtime an update can
// have.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "bench_clock.h"

namespace {

// The service's state, or 0 while it is not registered (deleted, recreated).
DWORD current_state(SC_HANDLE manager) {
  SC_HANDLE service = OpenServiceW(manager, L"VoraAntiCheat", SERVICE_QUERY_STATUS);
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  const BOOL ok =
      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed);
  CloseServiceHandle(service);
  return ok ? status.dwCurrentState : 0;
}

bool wait_for(SC_HANDLE service, DWORD wanted) {
  for (int i = 0; i < 30000; ++i) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                              &needed))
      return false;
    if (status.dwCurrentState == wanted) return true;
    Sleep(2);
  }
  return false;
}

int restart() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceW(manager, L"VoraAntiCheat", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status{};
  const bool ok = service && ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                  wait_for(service, SERVICE_STOPPED) && StartServiceW(service, 0, nullptr) &&
                  wait_for(service, SERVICE_RUNNING);
  if (!ok) std::printf("restart failed: %lu\n", GetLastError());
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wcscmp(argv[1], L"restart") == 0) return restart();
  const double timeout = argc > 1 ? _wtof(argv[1]) : 300.0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::printf("OpenSCManagerW failed: %lu\n", GetLastError());
    return 1;
  }
  // Tells the caller that watching has begun.
  std::printf("watching: 1\n");
  std::fflush(stdout);
  const double start = vora::bench::now_seconds();
  double last_running = -1, left_running = -1;
  for (double now = start; now - start < timeout; now = vora::bench::now_seconds()) {
    const bool running = current_state(manager) == SERVICE_RUNNING;
    if (running && left_running < 0) {
      last_running = now;
    } else if (!running && left_running < 0 && last_running >= 0) {
      left_running = last_running;
    } else if (running && left_running >= 0) {
      std::printf("downtime_seconds: %.3f\n", now - left_running);
      CloseServiceHandle(manager);
      return 0;
    }
    Sleep(2);
  }
  std::printf("downtime_seconds: none\n");
  CloseServiceHandle(manager);
  return 0;
}
