#include "service/uninstall.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "diagnostics/logging.h"
#include "files/directories.h"
#include "files/protected_directory.h"
#include "platform/scoped.h"
#include "platform/system.h"
#include "service/control.h"
#include "service/names.h"
#include "service/release_record.h"
#include "service/running_setup.h"
#include "service/uninstall_entry.h"

namespace vora {
namespace {

constexpr std::int32_t removal_attempts = 5;

}  // namespace

outcome remove_service(SC_HANDLE manager, bool* removed) {
  bool found = false;
  if (removed == nullptr) removed = &found;
  *removed = false;
  platform::scoped_service_handle service(
      sys().OpenServiceW(manager, service_name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = sys().GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return std::nullopt;
    return fail_with(error, "Failed to open Vora service for removal (Error: {}).", error);
  }

  if (!stop_service_and_wait(service.get())) {
    // Closing the handle may change the last error: read it first.
    const DWORD error = sys().GetLastError();
    service.reset();
    return fail_with(error, "Failed to stop Vora service (Error: {}).", error);
  }

  if (sys().DeleteService(service.get()) == 0) {
    const DWORD error = sys().GetLastError();
    service.reset();
    // Another handle still open somewhere: the service goes once it closes.
    *removed = error == ERROR_SERVICE_MARKED_FOR_DELETE;
    if (*removed) return std::nullopt;
    return fail_with(error, "Failed to delete Vora service (Error: {}).", error);
  }
  *removed = true;
  return std::nullopt;
}

outcome run_uninstall(SC_HANDLE manager, bool full) {
  // What support reads first: what this run removed.
  std::vector<std::string> removed;
  bool service_removed = false;
  if (auto cause = remove_service(manager, &service_removed)) return cause;
  if (service_removed) removed.push_back("the Vora service");

  spdlog::info("Removing installation directory");
  const std::filesystem::path install = install_directory();
  const bool installed = sys().GetFileAttributesW(install.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
  std::error_code error;
  const bool install_removed = remove_tree_with_retries(install, error, removal_attempts);
  if (install_removed && installed) {
    removed.push_back(fmt::format("'{}'", narrow_path(install)));
  } else if (!install_removed) {
    spdlog::warn("Failed to fully remove install directory '{}': {}", narrow_path(install), error.message());
    // The entry in Apps & features stays, and its command with it, so the
    // player can try again.
    return_running_setup();
  }
  // Last, and only once nothing of the installation is left.
  const auto remove_entry = [install_removed, installed, &removed] {
    if (!install_removed) return;
    // The entry is written only with an install directory.
    if (auto cause = remove_uninstall_entry())
      spdlog::warn("{}", cause->message);
    else if (installed)
      removed.push_back("the Apps & features entry");
  };
  const auto say_removed = [&removed] {
    if (removed.empty())
      spdlog::info("Removed nothing: no Vora service or install directory was found");
    else
      spdlog::info("Removed: {}", fmt::join(removed, ", "));
  };

  // The record of the highest release installed stays with a plain
  // uninstall, so a reinstall cannot go below it either.
  if (!full) {
    remove_entry();
    say_removed();
    return std::nullopt;
  }
  if (auto cause = remove_release_record()) spdlog::warn("{}", cause->message);
  remove_entry();
  // Said while the log is open: the data directory, and the log in it, go
  // next.
  say_removed();
  spdlog::info("Removing data directory");
  // The log file lies inside the data directory; from here on nothing is
  // written to it.
  shutdown_logging();
  release_data_directories();
  const std::filesystem::path data = data_directory();
  if (!remove_tree_with_retries(data, error, removal_attempts))
    spdlog::warn("Failed to fully remove data directory '{}': {}", narrow_path(data), error.message());
  return std::nullopt;
}

}  // namespace vora
