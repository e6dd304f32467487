#include "service/control.h"

#include <algorithm>

#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

bool query_status(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  status = SERVICE_STATUS_PROCESS{};
  DWORD needed = 0;
  return sys().QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                    &needed) != FALSE;
}

// A tenth of the hint, so short pending steps are seen quickly and long ones
// are not polled more than once a second.
std::uint32_t poll_interval_ms(DWORD wait_hint) { return std::clamp<DWORD>(wait_hint / 10, 50, 1000); }

}  // namespace

bool wait_for_service_state(SC_HANDLE service, DWORD wanted_state, std::uint64_t timeout_ms,
                            SERVICE_STATUS_PROCESS* last) {
  const std::uint64_t start = sys().GetTickCount64();
  SERVICE_STATUS_PROCESS ignored;
  SERVICE_STATUS_PROCESS& status = last != nullptr ? *last : ignored;
  if (!query_status(service, status)) return false;

  DWORD last_checkpoint = 0;
  std::uint64_t last_progress = start;
  for (;;) {
    if (status.dwCurrentState == wanted_state) return true;
    // Started and already ended: no waiting brings it back.
    if (wanted_state == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOPPED) return false;
    const std::uint64_t now = sys().GetTickCount64();
    if (status.dwCheckPoint > last_checkpoint) {
      last_checkpoint = status.dwCheckPoint;
      last_progress = now;
    } else if (status.dwWaitHint != 0 && now - last_progress > status.dwWaitHint) {
      return false;  // the pending step has stalled
    }
    if (now - start > timeout_ms) return false;
    sys().sleep_ms(poll_interval_ms(status.dwWaitHint));
    if (!query_status(service, status)) return false;
  }
}

bool stop_service_and_wait(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status;
  if (!query_status(service, status)) return false;
  // A service still starting takes no stop control: its start is let finish
  // (an update killed while the new service started leaves it so).
  const std::uint64_t start = sys().GetTickCount64();
  while (status.dwCurrentState == SERVICE_START_PENDING && sys().GetTickCount64() - start < service_stop_timeout_ms) {
    sys().sleep_ms(poll_interval_ms(status.dwWaitHint));
    if (!query_status(service, status)) return false;
  }
  if (status.dwCurrentState == SERVICE_STOPPED) return true;

  // Taken now: once stopped, the manager reports process id 0.
  const DWORD process_id = status.dwProcessId;
  if (status.dwCurrentState != SERVICE_STOP_PENDING) {
    SERVICE_STATUS control_status{};
    if (sys().ControlService(service, SERVICE_CONTROL_STOP, &control_status) == 0)
      return sys().GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
  }

  if (!wait_for_service_state(service, SERVICE_STOPPED, service_stop_timeout_ms)) return false;
  if (process_id == 0) return true;

  // The files of the service stay in use until its process has ended; one
  // that will not end is left alone.
  platform::scoped_handle process(sys().OpenProcess(SYNCHRONIZE, FALSE, process_id));
  if (!process) return true;
  sys().WaitForSingleObject(process.get(), service_process_exit_timeout_ms);
  return true;
}

}  // namespace vora
