#include "service/install.h"

#include <spdlog/spdlog.h>

#include <fstream>
#include <optional>

#include "app/fatal_error.h"
#include "app/text.h"
#include "diagnostics/directories.h"
#include "download/download.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/configuration.h"
#include "service/control.h"
#include "service/names.h"
#include "service/uninstall.h"

namespace vora {
namespace {

constexpr std::uint64_t service_start_timeout_ms = 15000;

// Replaces an earlier installation: the new registration must carry this
// program's configuration.
void remove_existing_service(SC_HANDLE manager) {
  SC_HANDLE probe = sys().OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS);
  if (probe != nullptr) {
    sys().CloseServiceHandle(probe);
    spdlog::info("Vora service is already installed, reinstalling");
    remove_service(manager);
    return;
  }
  const DWORD error = sys().GetLastError();
  if (error != ERROR_SERVICE_DOES_NOT_EXIST)
    report_fatal_error("Failed to query existing Vora service (Error: {}).", error);
}

// Configures and starts the service just created; the handle is closed on
// every path, fatal ones included.
void configure_and_start(platform::scoped_service_handle service) {
  if (!set_service_description(service.get(), service_description))
    spdlog::warn("Service installed but description could not be set");
  if (!set_service_failure_actions(service.get()))
    spdlog::warn("Service installed but failure actions could not be set");

  std::string error;
  if (!apply_interactive_service_dacl(service.get(), error)) {
    service.reset();
    report_fatal_error("Failed to set Vora service permissions (Error: {}).", error);
  }

  if (!sys().StartServiceW(service.get(), 0, nullptr)) {
    const DWORD start_error = sys().GetLastError();
    if (start_error != ERROR_SERVICE_ALREADY_RUNNING) {
      service.reset();
      report_fatal_error("Failed to start Vora service (Error: {}).", start_error);
    }
  } else if (!wait_for_service_state(service.get(), SERVICE_RUNNING, service_start_timeout_ms)) {
    spdlog::warn("Timed out waiting for Vora service to reach running state");
  }
}

}  // namespace

std::wstring download_required_file(const std::wstring& file_name, held_image& held) {
  std::wstring final_path;
  if (!download_program_file(file_name, final_path, held, std::nullopt, true))
    report_fatal_error("Failed to download {}", to_utf8(file_name));
  return final_path;
}

bool write_uninstall_script(const std::filesystem::path& path) {
  HMODULE module = sys().GetModuleHandleW(nullptr);
  HRSRC resource = sys().FindResourceW(module, MAKEINTRESOURCEW(uninstall_script_resource), RT_RCDATA);
  if (resource == nullptr) return false;
  HGLOBAL loaded = sys().LoadResource(module, resource);
  if (loaded == nullptr) return false;
  const DWORD size = sys().SizeofResource(module, resource);
  if (size == 0) return false;
  const void* bytes = sys().LockResource(loaded);
  if (bytes == nullptr) return false;

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  // Buffered bytes that never reach the file are a failed write too.
  out.close();
  return !out.fail();
}

void run_install(SC_HANDLE manager) {
  remove_existing_service(manager);

  held_image service_image;
  held_image setup_image;
  held_image broker_image;
  std::wstring service_path = download_required_file(L"VoraService.exe", service_image);
  download_required_file(L"VoraSetup.exe", setup_image);
  download_required_file(L"VoraBroker.exe", broker_image);

  if (!write_uninstall_script(install_directory() / L"UninstallVora.bat"))
    spdlog::warn("Failed to create uninstall bat");

  const std::wstring command_line = L"\"" + service_path + L"\"";
  platform::scoped_service_handle service(sys().CreateServiceW(
      manager, service_name, service_display_name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr, nullptr, service_account, nullptr));
  if (!service) {
    const DWORD error = sys().GetLastError();
    if (error != ERROR_SERVICE_EXISTS) report_fatal_error("Failed to create Vora service (Error: {}).", error);
    spdlog::warn("Vora service already exists after removal attempt, skipping creation");
  } else {
    configure_and_start(std::move(service));
  }

  // Held until now so the files cannot change between their verification and
  // the service's start.
  service_path.clear();
  broker_image.dispose();
  setup_image.dispose();
  service_image.dispose();
}

}  // namespace vora
