// Stand-in for the product's service in end-to-end runs: a real service that
// starts through a pending step, runs until told to stop, and exits. While
// C:\vora-slow-service exists it takes two seconds to start and two to stop,
// as real services do, which widens the moments an update can be killed in.
// Built with VORA_SERVICE_STOPS_AS_IT_STARTS it ends while starting, with
// service-specific exit code 42.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;
DWORD checkpoint = 0;

void report(DWORD state, DWORD wait_hint, DWORD specific_exit_code = 0) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = specific_exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  status.dwServiceSpecificExitCode = specific_exit_code;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++checkpoint : 0;
  status.dwWaitHint = wait_hint;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      report(SERVICE_STOP_PENDING, 2000);
      SetEvent(stop_event);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

bool slow() { return GetFileAttributesW(L"C:\\vora-slow-service") != INVALID_FILE_ATTRIBUTES; }

void WINAPI service_main(DWORD, LPWSTR*) {
  status_handle = RegisterServiceCtrlHandlerExW(L"VoraAntiCheat", control_handler, nullptr);
  if (status_handle == nullptr) return;
  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  report(SERVICE_START_PENDING, 3000);
  if (stop_event == nullptr) {
    report(SERVICE_STOPPED, 0);
    return;
  }
  if (slow()) Sleep(2000);
#ifdef VORA_SERVICE_STOPS_AS_IT_STARTS
  // Started by the manager, then ends with a code of its own before it runs.
  report(SERVICE_STOPPED, 0, 42);
  return;
#endif
  report(SERVICE_RUNNING, 0);
  WaitForSingleObject(stop_event, INFINITE);
  CloseHandle(stop_event);
  if (slow()) {
    report(SERVICE_STOP_PENDING, 3000);
    Sleep(2000);
  }
  report(SERVICE_STOPPED, 0);
}

}  // namespace

int wmain() {
#ifdef VORA_SERVICE_EXITS_AT_ONCE
  // A service whose start always fails: it ends before reaching the manager.
  return 1;
#endif
  wchar_t name[] = L"VoraAntiCheat";
  SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
  // Started by hand rather than by the service manager: nothing to run.
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
