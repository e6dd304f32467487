// Watches the VoraAntiCheat service through a reinstall: the time from its
// last RUNNING before it leaves that state to its first RUNNING again.
// Usage: bench_downtime <timeout seconds>. Prints "downtime_seconds: S" (or
// "downtime_seconds: none" when it never left RUNNING) once the service runs
// again, or when the time is up.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "bench_clock.h"

namespace {

// The service's state, or 0 while it is not registered (deleted, recreated).
DWORD current_state(SC_HANDLE manager) {
  SC_HANDLE service = OpenServiceW(manager, L"VoraAntiCheat", SERVICE_QUERY_STATUS);
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  const BOOL ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                       sizeof(status), &needed);
  CloseServiceHandle(service);
  return ok ? status.dwCurrentState : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
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
