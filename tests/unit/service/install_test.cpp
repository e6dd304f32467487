#include "service/install.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "build_config.h"
#include "fake_cdn.h"
#include "fake_manifest.h"
#include "files/directories.h"
#include "files/staging_directory.h"
#include "pe_builder.h"
#include "service/swap_recovery.h"
#include "service_fixture.h"

namespace vora {
namespace {

namespace fs = std::filesystem;
using test::fake_manager;
using test::fake_old_service;
using test::fake_probe;
using test::fake_service;

const HMODULE fake_module = reinterpret_cast<HMODULE>(0x6000);
const HRSRC fake_resource = reinterpret_cast<HRSRC>(0x6100);
const HGLOBAL fake_loaded = reinterpret_cast<HGLOBAL>(0x6200);

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A whole installation against a fake service manager, a fake CDN and a fake
// resource section; the files land in the real install directory.
class Install : public test::service_fixture {
 protected:
  Install() {
    std::error_code ignored;
    fs::remove_all(install_directory(), ignored);
    cdn.serve(L"VoraService.exe", service_body);
    cdn.serve(L"VoraSetup.exe", setup_body);
    cdn.serve(L"VoraBroker.exe", broker_body);
    install_registry_fakes();
    status_script = {state(SERVICE_START_PENDING, 1, 3000, 40), state(SERVICE_RUNNING, 0, 0, 40)};

    test::trust_fake_manifests();
    auto& t = sys();
    auto open_request = t.WinHttpOpenRequest;
    t.WinHttpOpenRequest = [this, open_request](HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version,
                                                LPCWSTR referrer, LPCWSTR* accept, DWORD flags) {
      // Signed over whatever the test serves by now.
      if (fs::path(object).filename() == "VoraRelease.json" && !custom_manifest)
        cdn.serve(L"VoraRelease.json", test::fake_manifest_for(cdn));
      record("GET " + narrow(fs::path(object).filename().wstring()));
      return open_request(connection, verb, object, version, referrer, accept, flags);
    };
    // Which files are open, so the holding of the placed files can be seen;
    // the brief attributes-only opens of the identity check are not holds.
    auto create_file = t.CreateFileW;
    t.CreateFileW = [this, create_file](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                        DWORD disposition, DWORD flags, HANDLE template_file) {
      HANDLE file = create_file(path, access, share, attributes, disposition, flags, template_file);
      if (file != INVALID_HANDLE_VALUE && access != FILE_READ_ATTRIBUTES)
        open_files[file] = narrow(fs::path(path).filename().wstring());
      return file;
    };
    auto close_handle = t.CloseHandle;
    t.CloseHandle = [this, close_handle](HANDLE handle) {
      const auto found = open_files.find(handle);
      // The staging folder is checked, not held.
      if (found != open_files.end() && found->second == ".staging") {
        open_files.erase(found);
      } else if (found != open_files.end()) {
        record("CloseHandle " + found->second);
        open_files.erase(found);
      }
      return close_handle(handle);
    };

    install_security_fakes();
    // The placed files must still be held when the service starts.
    t.StartServiceW = [this, start = t.StartServiceW](SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
      files_open_at_start = open_files.size();
      return start(service, argc, argv);
    };

    t.GetModuleHandleW = [](LPCWSTR name) -> HMODULE {
      EXPECT_EQ(name, nullptr);
      return fake_module;
    };
    t.FindResourceW = [this](HMODULE module, LPCWSTR name, LPCWSTR type) -> HRSRC {
      EXPECT_EQ(module, fake_module);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(name), 101u);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(type), 10u);  // RT_RCDATA
      return resource_found ? fake_resource : nullptr;
    };
    t.LoadResource = [this](HMODULE, HRSRC resource) -> HGLOBAL {
      EXPECT_EQ(resource, fake_resource);
      return resource_loads ? fake_loaded : nullptr;
    };
    t.SizeofResource = [this](HMODULE, HRSRC) -> DWORD { return static_cast<DWORD>(script.size()); };
    t.LockResource = [this](HGLOBAL loaded) -> LPVOID {
      EXPECT_EQ(loaded, fake_loaded);
      return resource_locks ? script.data() : nullptr;
    };
  }
  ~Install() override {
    std::error_code ignored;
    fs::remove_all(install_directory(), ignored);
  }

  // HKLM\SOFTWARE\Vora in the 64-bit view, in memory.
  void install_registry_fakes() {
    auto& t = sys();
    t.RegOpenKeyExW = [this](HKEY root, LPCWSTR sub_key, DWORD, REGSAM access, HKEY* out) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_EQ(std::wstring(sub_key), L"SOFTWARE\\Vora");
      EXPECT_TRUE(access & KEY_WOW64_64KEY);
      if (registry_error) return registry_error;
      if (!registry_key) return ERROR_FILE_NOT_FOUND;
      *out = fake_key;
      return 0;
    };
    t.RegQueryValueExW = [this](HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) -> LSTATUS {
      EXPECT_EQ(key, fake_key);
      const auto found = registry.find(name);
      if (found == registry.end()) return ERROR_FILE_NOT_FOUND;
      const std::size_t bytes = (found->second.size() + 1) * sizeof(wchar_t);
      if (bytes > *size) return 234;  // ERROR_MORE_DATA
      std::memcpy(data, found->second.c_str(), bytes);
      *size = static_cast<DWORD>(bytes);
      *type = REG_SZ;
      return 0;
    };
    t.RegCreateKeyExW = [this](HKEY root, LPCWSTR sub_key, DWORD, LPWSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                               HKEY* out, LPDWORD) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      // Apps & features reads the 64-bit view only.
      EXPECT_TRUE(access & KEY_WOW64_64KEY);
      if (std::wstring(sub_key) == entry_key_path) {
        record("RegCreateKeyExW entry");
        entry = std::map<std::wstring, std::pair<DWORD, std::wstring>>{};
        *out = entry_key;
        return 0;
      }
      EXPECT_EQ(std::wstring(sub_key), L"SOFTWARE\\Vora");
      registry_key = true;
      *out = fake_key;
      return 0;
    };
    t.RegDeleteKeyExW = [this](HKEY root, LPCWSTR sub_key, REGSAM access, DWORD) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_EQ(std::wstring(sub_key), entry_key_path);
      EXPECT_TRUE(access & KEY_WOW64_64KEY);
      if (!entry) return ERROR_FILE_NOT_FOUND;
      entry.reset();
      return 0;
    };
    t.RegSetValueExW = [this](HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) -> LSTATUS {
      if (key == entry_key) {
        if (entry_write_error) return entry_write_error;
        EXPECT_TRUE(entry.has_value());
        if (type == REG_DWORD) {
          EXPECT_EQ(size, sizeof(DWORD));
          DWORD number = 0;
          std::memcpy(&number, data, sizeof(number));
          (*entry)[name] = {type, std::to_wstring(number)};
        } else {
          EXPECT_EQ(type, REG_SZ);
          (*entry)[name] = {type, std::wstring(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t))};
        }
        return 0;
      }
      EXPECT_EQ(key, fake_key);
      EXPECT_EQ(type, REG_SZ);
      std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
      EXPECT_EQ(text.back(), L'\0');
      text.pop_back();
      registry[name] = text;
      // The run's own part of the set-aside names is random.
      record("RegSetValueExW " + narrow(name) + (std::wstring(name) == L"UpdateRun" ? "" : " " + narrow(text)));
      return 0;
    };
    t.RegCloseKey = [this](HKEY key) -> LSTATUS {
      EXPECT_TRUE(key == fake_key || key == entry_key);
      return 0;
    };
    t.RegDeleteValueW = [this](HKEY key, LPCWSTR name) -> LSTATUS {
      EXPECT_EQ(key, fake_key);
      record("RegDeleteValueW " + narrow(name));
      if (undeletable_values) return ERROR_ACCESS_DENIED;
      return registry.erase(name) ? 0 : ERROR_FILE_NOT_FOUND;
    };
    t.RegFlushKey = [this](HKEY key) -> LSTATUS {
      EXPECT_EQ(key, fake_key);
      return 0;
    };
  }

  // The service's DACL is built with faked calls; the staging folder's,
  // made with the same calls, with the platform's own.
  void install_security_fakes() {
    auto& t = sys();
    t.QueryServiceObjectSecurity = [this](SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR buffer, DWORD,
                                          LPDWORD needed) -> BOOL {
      // A refusal here ends the service's DACL at once.
      securing_service = dacl_error == 0;
      if (dacl_error != 0) return fail_with<BOOL>(dacl_error, FALSE);
      *needed = 64;
      return buffer ? TRUE : fail_with<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
    };
    t.GetSecurityDescriptorDacl = [this, real = t.GetSecurityDescriptorDacl](PSECURITY_DESCRIPTOR descriptor,
                                                                             LPBOOL present, PACL* dacl,
                                                                             LPBOOL defaulted) -> BOOL {
      if (!securing_service) return real(descriptor, present, dacl, defaulted);
      *present = FALSE;
      *dacl = nullptr;
      *defaulted = FALSE;
      return TRUE;
    };
    t.CreateWellKnownSid = [this, real = t.CreateWellKnownSid](WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid,
                                                               DWORD* size) -> BOOL {
      return securing_service ? TRUE : real(type, domain, sid, size);
    };
    t.SetEntriesInAclW = [this, real = t.SetEntriesInAclW](ULONG count, PEXPLICIT_ACCESS_W entries, PACL old_acl,
                                                           PACL* built) -> DWORD {
      if (!securing_service) return real(count, entries, old_acl, built);
      *built = static_cast<PACL>(sys().LocalAlloc(LPTR, 16));
      return ERROR_SUCCESS;
    };
    t.InitializeSecurityDescriptor = [this, real = t.InitializeSecurityDescriptor](PSECURITY_DESCRIPTOR descriptor,
                                                                                   DWORD revision) -> BOOL {
      return securing_service ? TRUE : real(descriptor, revision);
    };
    t.SetSecurityDescriptorDacl = [this, real = t.SetSecurityDescriptorDacl](PSECURITY_DESCRIPTOR descriptor,
                                                                             BOOL present, PACL dacl,
                                                                             BOOL defaulted) -> BOOL {
      return securing_service ? TRUE : real(descriptor, present, dacl, defaulted);
    };
    t.SetServiceObjectSecurity = [this](SC_HANDLE service, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) -> BOOL {
      EXPECT_EQ(service, fake_service);
      record("SetServiceObjectSecurity");
      securing_service = false;
      return TRUE;
    };
  }
  bool securing_service = false;

  template <typename T>
  static T fail_with(DWORD error, T result) {
    sys().SetLastError(error);
    return result;
  }
  static std::string narrow(const std::wstring& wide) { return fs::path(wide).string(); }
  std::vector<std::string> events_from(std::size_t index) const {
    return std::vector<std::string>(events.begin() + static_cast<std::ptrdiff_t>(index), events.end());
  }
  std::size_t count_prefix(const std::string& prefix) const {
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
  }
  // Trouble logged: warnings and errors (progress lines are not of interest).
  std::vector<std::string> logged() const {
    std::vector<std::string> texts;
    for (const auto& record : log.records())
      if (record.level >= spdlog::level::warn) texts.push_back(record.text);
    return texts;
  }
  fs::path script_path() const { return install_directory() / L"UninstallVora.bat"; }

  static std::string body(const std::u16string& name, release_version release) {
    return test::version_image(name, release);
  }
  static constexpr release_version this_release{build::this_release[0], build::this_release[1], build::this_release[2],
                                                build::this_release[3]};

  std::string service_body = body(u"VoraService.exe", this_release);
  std::string setup_body = body(u"VoraSetup.exe", this_release);
  std::string broker_body = body(u"VoraBroker.exe", this_release);
  const HKEY fake_key = reinterpret_cast<HKEY>(0x7000);
  std::map<std::wstring, std::wstring> registry;
  bool registry_key = false;
  LSTATUS registry_error = 0;
  bool undeletable_values = false;  // every value delete is refused
  // The Apps & features entry: each value's type and text, terminator and all.
  static constexpr const wchar_t* entry_key_path =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VoraAntiCheat";
  const HKEY entry_key = reinterpret_cast<HKEY>(0x7001);
  std::optional<std::map<std::wstring, std::pair<DWORD, std::wstring>>> entry;
  LSTATUS entry_write_error = 0;
  test::fake_cdn cdn;
  bool custom_manifest = false;  // the test serves its own VoraRelease.json
  std::map<HANDLE, std::string> open_files;
  std::size_t files_open_at_start = 0;
  test::fake_service_manager manager{events};
  DWORD dacl_error = 0;
  std::string script = "@echo off\r\nsetlocal\r\necho \"Vora\"\r\n\r\npause";
  bool resource_found = true;
  bool resource_loads = true;
  bool resource_locks = true;
};

// The one configuration the service gets, created on a fresh machine or
// written over an earlier registration alike.
void expect_vora_service_settings(const test::fake_service_manager::registration& written) {
  EXPECT_EQ(written.display, L"Vora Anti-Cheat");
  EXPECT_EQ(written.type, 0x10u);        // SERVICE_WIN32_OWN_PROCESS
  EXPECT_EQ(written.start, 3u);          // SERVICE_DEMAND_START
  EXPECT_EQ(written.error_control, 1u);  // SERVICE_ERROR_NORMAL
  EXPECT_EQ(written.account, L"LocalSystem");
  EXPECT_FALSE(written.tag_requested);
}

TEST_F(Install, FreshMachineGoesThroughEveryStepInOrder) {
  EXPECT_FALSE(run_install(fake_manager));

  EXPECT_EQ(events, (std::vector<std::string>{
                        "OpenServiceW 4",
                        // The signed release manifest first.
                        "GET VoraRelease.json", "GET VoraService.exe", "GET VoraSetup.exe", "GET VoraBroker.exe",
                        "OpenServiceW 983551", "CreateServiceW", "ChangeServiceConfig2W 1", "ChangeServiceConfig2W 2",
                        "SetServiceObjectSecurity", "StartServiceW", "QueryServiceStatusEx service",
                        "QueryServiceStatusEx service", "CloseServiceHandle service",
                        // Recorded only once the release runs.
                        "RegSetValueExW HighestRelease " + version_text(this_release),
                        // Released only now: broker, then setup, then service.
                        "CloseHandle VoraBroker.exe.download", "CloseHandle VoraSetup.exe.download",
                        "CloseHandle VoraService.exe.download",
                        // The entry last.
                        "RegCreateKeyExW entry"}))
      << ::testing::PrintToString(events);
  EXPECT_EQ(files_open_at_start, 3u) << "the placed files stay held until the service has started";
  EXPECT_TRUE(open_files.empty());

  // A new registration leaves the optional settings unset.
  ASSERT_TRUE(manager.created);
  expect_vora_service_settings(*manager.created);
  EXPECT_EQ(manager.created->name, L"VoraAntiCheat");
  EXPECT_EQ(manager.created->access, 0xF01FFu);  // SERVICE_ALL_ACCESS
  EXPECT_EQ(manager.created->password, std::nullopt);
  EXPECT_EQ(manager.created->group, std::nullopt);
  EXPECT_EQ(manager.created->dependencies, std::nullopt);
  // Quoted, spaces and all, with nothing after the closing quote.
  const std::wstring binary_path = manager.created->binary_path;
  EXPECT_EQ(binary_path, L"\"" + (install_directory() / L"VoraService.exe").wstring() + L"\"");
  EXPECT_NE(binary_path.find(L' '), std::wstring::npos);
  EXPECT_EQ(read_all(install_directory() / L"VoraService.exe"), service_body);
  EXPECT_EQ(read_all(install_directory() / L"VoraBroker.exe"), broker_body);
  EXPECT_EQ(read_all(script_path()), script);

  // Every file was verified: signature checked, no pinned hash asked for.
  EXPECT_EQ(cdn.requests,
            (std::vector<std::wstring>{L"VoraRelease.json", L"VoraService.exe", L"VoraSetup.exe", L"VoraBroker.exe"}));
  EXPECT_FALSE(cdn.trust_calls.empty());
  EXPECT_EQ(logged(), std::vector<std::string>{}) << "a clean install logs no trouble here";
  EXPECT_TRUE(fakes.boxes.empty());
}

// The registration is kept and set to the new files: deleted, it would stay
// marked for deletion while anybody holds a handle to it.
TEST_F(Install, ExistingServiceIsStoppedOnlyOnceEveryFileIsVerifiedAndKeepsItsRegistration) {
  manager.registered = true;
  status_script = {state(SERVICE_STOPPED), state(SERVICE_RUNNING)};
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_EQ(
      std::vector<std::string>(events.begin(), events.begin() + 13),
      (std::vector<std::string>{"OpenServiceW 4", "CloseServiceHandle probe", "GET VoraRelease.json",
                                "GET VoraService.exe", "GET VoraSetup.exe", "GET VoraBroker.exe",
                                // Each step journaled before it begins, the
                                // names of the set-aside files first.
                                "RegSetValueExW UpdateRun", "RegSetValueExW UpdateInProgress hold, earlier service",
                                "RegSetValueExW UpdateInProgress stop, earlier service", "OpenServiceW 36",
                                "QueryServiceStatusEx old service", "CloseServiceHandle old service",
                                "RegSetValueExW UpdateInProgress set-aside, earlier service"}))
      << ::testing::PrintToString(events);
  // Committed once the service started, forgotten once the earlier files
  // are gone.
  EXPECT_LT(position("ChangeServiceConfigW"), position("StartServiceW"));
  EXPECT_LT(position("StartServiceW"), position("RegSetValueExW UpdateInProgress commit, earlier service"));
  EXPECT_LT(position("RegSetValueExW UpdateInProgress commit, earlier service"),
            position("RegDeleteValueW UpdateInProgress"));
  EXPECT_EQ(registry.count(L"UpdateInProgress"), 0u);
  EXPECT_EQ(count_prefix("DeleteService") + count_prefix("CreateServiceW"), 0u);
  EXPECT_TRUE(called("StartServiceW"));
  // Every setting of the kept one is overwritten, none left as it was.
  ASSERT_TRUE(manager.reconfigured);
  expect_vora_service_settings(*manager.reconfigured);
  EXPECT_EQ(manager.reconfigured->password, L"");
  EXPECT_EQ(manager.reconfigured->group, L"");
  EXPECT_EQ(manager.reconfigured->dependencies, L"") << "an empty list, not 'unchanged'";
  EXPECT_EQ(manager.reconfigured->binary_path, L"\"" + (install_directory() / L"VoraService.exe").wstring() + L"\"");
  EXPECT_TRUE(log.contains(spdlog::level::info, "Vora service is already installed, reinstalling"));
  EXPECT_EQ(read_all(install_directory() / L"VoraSetup.exe"), setup_body);
}

TEST_F(Install, ARegistrationThatCannotBeReconfigured) {
  // Deleted by somebody else who still holds it: created again once it goes.
  manager.registered = true;
  manager.reconfigure_error = ERROR_SERVICE_MARKED_FOR_DELETE;
  status_script = {state(SERVICE_STOPPED), state(SERVICE_RUNNING)};
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_LT(position("ChangeServiceConfigW"), position("CreateServiceW"));
  EXPECT_TRUE(called("StartServiceW"));
  EXPECT_TRUE(fakes.boxes.empty());

  // Any other refusal ends the install with its own message.
  events.clear();
  fakes.boxes.clear();
  manager.registered = true;
  manager.reconfigure_error = ERROR_ACCESS_DENIED;
  queries = 0;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to configure Vora service (Error: 5).");
  EXPECT_FALSE(called("CreateServiceW"));
  EXPECT_FALSE(called("StartServiceW"));

  // One that cannot even be opened to be set is no registration somebody
  // else just made: the update fails rather than leave nothing started.
  events.clear();
  fakes.boxes.clear();
  manager.reconfigure_error = 0;
  queries = 0;
  sys().OpenServiceW = [open = sys().OpenServiceW](SC_HANDLE scm, LPCWSTR name, DWORD access) -> SC_HANDLE {
    if (access != 0xF01FF) return open(scm, name, access);  // SERVICE_ALL_ACCESS
    sys().SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  };
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to configure Vora service (Error: 5).");
  EXPECT_FALSE(called("CreateServiceW"));
  EXPECT_FALSE(called("StartServiceW"));
}

// A replacement waiting for the restart survives the clear-up of earlier
// runs' leftovers, and goes only with the run part it is asked for; a link
// under a pending name (host only) is a leftover like any other, removed,
// not followed.
TEST_F(Install, PendingReplacementsOutliveTheClearUpAndGoByTheirRunPart) {
  fs::create_directories(install_directory());
  ASSERT_EQ(prepare_staging_directory(), 0u);
  const fs::path staging = staging_directory();
  const fs::path outside = install_directory() / "outside";
  std::ofstream(outside) << "kept";
  for (const char* name : {"VoraBroker.exe.00000000000000aa.pending", "VoraSetup.exe.00000000000000bb.PENDING",
                           "VoraService.exe.00000000000000aa.previous", "stray.pending"})
    std::ofstream(staging / name) << "x";
#ifndef _WIN32
  // Wine makes no links from Windows code.
  fs::create_symlink(outside, staging / "VoraService.exe.00000000000000cc.pending");
#endif
  const auto left = [&] {
    std::vector<std::string> names;
    for (const auto& found : fs::directory_iterator(staging)) names.push_back(found.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };

  clear_staging_directory({});
  EXPECT_EQ(left(), (std::vector<std::string>{"VoraBroker.exe.00000000000000aa.pending",
                                              "VoraSetup.exe.00000000000000bb.PENDING"}));
  EXPECT_EQ(read_all(outside), "kept");

  remove_pending_files(L"00000000000000aa", true);
  EXPECT_EQ(left(), (std::vector<std::string>{"VoraBroker.exe.00000000000000aa.pending"}));
  remove_pending_files(L"00000000000000aa", false);
  EXPECT_EQ(left(), std::vector<std::string>{});
}

TEST_F(Install, FailedUpdateLeavesTheEarlierInstallationAsItWas) {
  manager.registered = true;
  fs::create_directories(install_directory());
  for (const wchar_t* name : {L"VoraService.exe", L"VoraSetup.exe", L"VoraBroker.exe", L"UninstallVora.bat"})
    std::ofstream(install_directory() / name, std::ios::binary) << "earlier";
  cdn.fail_send(L"VoraBroker.exe", 12029);

  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);

  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to download VoraBroker.exe");
  EXPECT_EQ(count_prefix("OpenServiceW 36") + count_prefix("DeleteService"), 0u) << "the service was not touched";
  std::vector<std::string> names;
  for (const auto& file : fs::directory_iterator(install_directory())) {
    names.push_back(file.path().filename().string());
    EXPECT_EQ(read_all(file.path()), "earlier") << names.back();
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"UninstallVora.bat", "VoraBroker.exe", "VoraService.exe", "VoraSetup.exe"}))
      << "no temporary is left";
  EXPECT_TRUE(open_files.empty());
}

// A next release whose service stops as it starts is not committed: the
// earlier files come back, its service runs again and the record stays. An
// undo that runs again (the journal could not be forgotten, as after a kill)
// leaves the files it put back alone.
TEST_F(Install, AnUpdateWhoseServiceDoesNotRunIsUndoneAndAnUndoRunTwiceChangesNothing) {
  manager.registered = true;
  fs::create_directories(install_directory());
  for (const wchar_t* name : {L"VoraService.exe", L"VoraSetup.exe", L"VoraBroker.exe"})
    std::ofstream(install_directory() / name, std::ios::binary) << "earlier";
  std::ofstream(script_path(), std::ios::binary) << script;
  auto ended = state(SERVICE_STOPPED);
  ended.status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
  ended.status.dwServiceSpecificExitCode = 42;
  // Stopped for the update; the new one starts and ends; stopped again and
  // the earlier one set back and started.
  status_script = {state(SERVICE_STOPPED),
                   state(SERVICE_START_PENDING, 1, 3000),
                   ended,
                   state(SERVICE_STOPPED),
                   state(SERVICE_STOPPED),
                   state(SERVICE_RUNNING)};
  undeletable_values = true;

  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);

  EXPECT_EQ(fakes.boxes.at(0).text, "The updated Vora service did not start (Error: 42).");
  const auto earlier_files_back = [&] {
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(install_directory())) {
      if (file.path().filename() == ".staging" || file.path() == script_path()) continue;
      names.push_back(file.path().filename().string());
      EXPECT_EQ(read_all(file.path()), "earlier") << names.back();
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"VoraBroker.exe", "VoraService.exe", "VoraSetup.exe"}));
    EXPECT_EQ(read_all(script_path()), script);
  };
  earlier_files_back();
  EXPECT_EQ(registry.count(L"HighestRelease"), 0u);
  ASSERT_EQ(registry.count(L"UpdateInProgress"), 1u) << "the journal was to stay";
  ASSERT_EQ(registry.count(L"UpdatePlaced"), 1u);
  // The set-aside names are this run's own: no leftover of another run, nor a
  // removal at restart that another run scheduled, can share them.
  ASSERT_EQ(registry.count(L"UpdateRun"), 1u);
  EXPECT_EQ(registry[L"UpdateRun"].size(), 16u);

  queries = 0;
  status_script = {state(SERVICE_STOPPED), state(SERVICE_STOPPED), state(SERVICE_RUNNING)};
  undeletable_values = false;
  EXPECT_FALSE(recover_interrupted_update(fake_manager));
  earlier_files_back();
  EXPECT_EQ(registry.count(L"UpdateInProgress") + registry.count(L"UpdatePlaced") + registry.count(L"UpdateRun"), 0u);
}

// Found before anything is fetched, so a full disk never meets an update
// half way; exactly enough is enough.
TEST_F(Install, TooLittleDiskSpaceEndsTheInstallBeforeAnyProgramFileIsFetched) {
  const std::uint64_t needed = service_body.size() + setup_body.size() + broker_body.size();
  std::uint64_t free_bytes = needed - 1;
  sys().GetDiskFreeSpaceExW = [&](LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER, PULARGE_INTEGER) {
    EXPECT_EQ(fs::path(folder), install_directory().parent_path());
    available->QuadPart = free_bytes;
    return TRUE;
  };
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Not enough disk space to install Vora (1 MiB needed, 0 MiB free).");
  EXPECT_EQ(count_prefix("GET VoraService") + count_prefix("GET VoraSetup") + count_prefix("GET VoraBroker"), 0u);
  EXPECT_FALSE(called("CreateServiceW"));

  events.clear();
  free_bytes = needed;
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_TRUE(called("StartServiceW"));
}

TEST_F(Install, FailedProbeIsFatalBeforeAnything) {
  manager.open_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to query existing Vora service (Error: 5).");
  EXPECT_TRUE(cdn.requests.empty());
}

TEST_F(Install, FailedFetchStopsTheInstallAtThatFile) {
  cdn.fail_send(L"VoraSetup.exe", 12029);  // ERROR_WINHTTP_CANNOT_CONNECT
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to download VoraSetup.exe");
  // Five attempts at the file that cannot be reached, none at the next.
  EXPECT_EQ(cdn.requests,
            (std::vector<std::wstring>{L"VoraRelease.json", L"VoraService.exe", L"VoraSetup.exe", L"VoraSetup.exe",
                                       L"VoraSetup.exe", L"VoraSetup.exe", L"VoraSetup.exe"}));
  EXPECT_TRUE(fs::is_empty(install_directory())) << "nothing is placed before everything is verified";
  EXPECT_FALSE(called("CreateServiceW"));
}

// Bytes the manifest does not name are never verified or placed: a shorter
// file by its Content-Length before its body, one of the right size by the
// hash taken as it arrived, before any signature check.
TEST_F(Install, AFileThatIsNotTheManifestsIsRefusedBeforeVerification) {
  custom_manifest = true;
  cdn.serve(L"VoraRelease.json", test::fake_manifest_for(cdn));
  const std::uint64_t before_broker = test::fake_manifest_for(cdn).size() + service_body.size() + setup_body.size();
  cdn.serve(L"VoraBroker.exe", broker_body.substr(0, broker_body.size() - 1));
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to download 'VoraBroker.exe': Content-Length " +
                                                   std::to_string(broker_body.size() - 1) + " is not the expected " +
                                                   std::to_string(broker_body.size()) + " bytes"));
  EXPECT_EQ(cdn.bytes_served(), before_broker) << "no byte of the shorter body is read";

  std::string changed = broker_body;
  changed.back() ^= 1;
  cdn.serve(L"VoraBroker.exe", changed);
  cdn.trust_calls.clear();
  log.clear();
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_TRUE(log.contains(spdlog::level::err, "Downloaded 'VoraBroker.exe' failed verification"));
  EXPECT_EQ(cdn.trust_calls.size(), 4u) << "the service and the setup only, each verified and closed";
  EXPECT_EQ(fakes.boxes.back().text, "Failed to download VoraBroker.exe");
  EXPECT_TRUE(fs::is_empty(install_directory()));
}

TEST_F(Install, ScriptIsTheResourceByteForByteAndRewritesCleanly) {
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_EQ(read_all(script_path()), script);

  // Over an earlier installation: one copy of the content, not two.
  queries = 0;
  status_script = {state(SERVICE_STOPPED), state(SERVICE_RUNNING)};
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_TRUE(called("ChangeServiceConfigW"));
  EXPECT_EQ(read_all(script_path()), script);
  EXPECT_EQ(fs::file_size(script_path()), script.size());
}

TEST_F(Install, ScriptNamesSystem32OnlyWhereItCanBeQuotedAsItIs) {
  script = "\"@SYSTEM32@\\net.exe\" session\r\ncd /d \"@SYSTEM32@\"";
  std::wstring system32 = L"C:\\Windows\\System32";
  sys().GetSystemDirectoryW = [&system32](LPWSTR buffer, UINT size) -> UINT {
    if (system32.size() >= size) return static_cast<UINT>(system32.size() + 1);
    std::copy(system32.begin(), system32.end(), buffer);
    buffer[system32.size()] = L'\0';
    return static_cast<UINT>(system32.size());
  };
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_EQ(read_all(script_path()), "\"C:\\Windows\\System32\\net.exe\" session\r\ncd /d \"C:\\Windows\\System32\"");

  // A folder the script would read as a variable, an escape or a second
  // command gets no script at all, and the service still starts.
  for (const wchar_t* odd : {L"C:\\Win%PATH%", L"C:\\W\"&calc", L"C:\\W'+calc", L"C:\\W\u00e9"}) {
    system32 = odd;
    std::error_code ignored;
    fs::remove_all(script_path(), ignored);
    log.clear();
    events.clear();
    queries = 0;
    status_script = {state(SERVICE_STOPPED), state(SERVICE_RUNNING)};
    EXPECT_FALSE(run_install(fake_manager));
    EXPECT_FALSE(fs::exists(script_path())) << fs::path(odd).string();
    EXPECT_EQ(logged(), std::vector<std::string>{"Failed to create uninstall bat"});
    EXPECT_TRUE(called("StartServiceW"));
  }
}

TEST_F(Install, AppsEntryNamesTheInstalledSetupAndItsTroubleIsOnlyAWarning) {
  EXPECT_FALSE(run_install(fake_manager));
  ASSERT_TRUE(entry.has_value());
  const std::wstring setup = (install_directory() / L"VoraSetup.exe").wstring();
  EXPECT_EQ(entry->at(L"UninstallString"),
            (std::pair<DWORD, std::wstring>{REG_SZ, L"\"" + setup + L"\" /uninstall" + L'\0'}));
  // The three files and the script, in KiB rounded up.
  const std::uint64_t bytes = service_body.size() + setup_body.size() + broker_body.size() + script.size();
  EXPECT_EQ(entry->at(L"EstimatedSize"),
            (std::pair<DWORD, std::wstring>{REG_DWORD, std::to_wstring((bytes + 1023) / 1024)}));
  EXPECT_EQ(entry->size(), 13u);

  // A value refused: no half entry, the install still counts.
  entry_write_error = ERROR_ACCESS_DENIED;
  queries = 0;
  status_script = {state(SERVICE_STOPPED), state(SERVICE_RUNNING)};
  log.clear();
  events.clear();
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_FALSE(entry.has_value());
  EXPECT_EQ(logged(), std::vector<std::string>{"Failed to register Vora with Apps & features (Error: 5)"});
  EXPECT_TRUE(called("StartServiceW"));
  EXPECT_TRUE(fakes.boxes.empty());
}

TEST_F(Install, ScriptTroubleIsOnlyAWarning) {
  const std::vector<std::function<void()>> troubles = {
      [this] { resource_found = false; },
      [this] { resource_loads = false; },
      [this] { script.clear(); },
      [this] { resource_locks = false; },
      // Nothing can be written where a directory stands.
      [this] { fs::create_directories(script_path()); },
  };
  for (std::size_t i = 0; i < troubles.size(); ++i) {
    resource_found = resource_loads = resource_locks = true;
    script = "@echo off\r\npause";
    manager.registered = false;
    events.clear();
    queries = 0;
    log.clear();
    troubles[i]();
    EXPECT_FALSE(run_install(fake_manager));
    EXPECT_EQ(logged(), std::vector<std::string>{"Failed to create uninstall bat"}) << "case " << i;
    EXPECT_TRUE(log.contains(spdlog::level::warn, "Failed to create uninstall bat"));
    EXPECT_TRUE(called("StartServiceW")) << "case " << i;
    std::error_code ignored;
    fs::remove_all(script_path(), ignored);
  }
}

#ifndef _WIN32
TEST_F(Install, ScriptThatCannotBeFlushedIsReported) {
  // The bytes fit the stream's buffer; only closing the file finds the disk full.
  fs::create_directories(install_directory());
  fs::create_symlink("/dev/full", script_path());
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_TRUE(log.contains(spdlog::level::warn, "Failed to create uninstall bat"));
  EXPECT_TRUE(called("StartServiceW"));
}
#endif

TEST_F(Install, ServiceThatStillExistsIsLeftAsItIs) {
  manager.create_error = ERROR_SERVICE_EXISTS;
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_TRUE(
      log.contains(spdlog::level::warn, "Vora service already exists after removal attempt, skipping creation"));
  EXPECT_EQ(count_prefix("ChangeServiceConfig2W"), 0u);
  EXPECT_FALSE(called("SetServiceObjectSecurity"));
  EXPECT_FALSE(called("StartServiceW"));
  EXPECT_EQ(queries, 0u);
  EXPECT_TRUE(fakes.boxes.empty());
  // The files are released all the same, and the install counts.
  EXPECT_TRUE(open_files.empty());
  EXPECT_EQ(events[events.size() - 5], "RegSetValueExW HighestRelease " + version_text(this_release));
  EXPECT_EQ(events[events.size() - 2], "CloseHandle VoraService.exe.download");
  EXPECT_EQ(events.back(), "RegCreateKeyExW entry");
}

TEST_F(Install, CreationFailuresOtherThanExistingAreFatal) {
  for (DWORD error : {DWORD{ERROR_SERVICE_MARKED_FOR_DELETE}, DWORD{ERROR_ACCESS_DENIED}}) {
    manager.create_error = error;
    fakes.boxes.clear();
    EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
    EXPECT_EQ(fakes.boxes.at(0).text, "Failed to create Vora service (Error: " + std::to_string(error) + ").");
    EXPECT_FALSE(called("StartServiceW"));
    EXPECT_EQ(count_prefix("ChangeServiceConfig2W"), 0u);
  }
}

TEST_F(Install, RefusedDescriptionAndFailureActionsAreWarnings) {
  manager.description_error = ERROR_ACCESS_DENIED;
  manager.failure_actions_error = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_EQ(logged(),
            (std::vector<std::string>{"ChangeServiceConfig2W (SERVICE_CONFIG_DESCRIPTION) failed (Error: 5)",
                                      "Service installed but description could not be set",
                                      "ChangeServiceConfig2W (SERVICE_CONFIG_FAILURE_ACTIONS) failed (Error: 5)",
                                      "Service installed but failure actions could not be set"}));
  EXPECT_TRUE(called("StartServiceW"));
  EXPECT_TRUE(fakes.boxes.empty());
}

TEST_F(Install, PermissionFailureClosesTheServiceThenIsFatal) {
  dacl_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  const std::string message =
      "Failed to set Vora service permissions (Error: Failed to query service security descriptor size: 5).";
  EXPECT_EQ(fakes.boxes.at(0).text, message);
  EXPECT_LT(position("CloseServiceHandle service"), position("MessageBoxA " + message));
  EXPECT_FALSE(called("StartServiceW"));
}

TEST_F(Install, StartOutcomes) {
  // Already running: no wait, no warning.
  manager.start_error = ERROR_SERVICE_ALREADY_RUNNING;
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_EQ(queries, 0u);
  EXPECT_EQ(logged(), std::vector<std::string>{});
  EXPECT_EQ(count("CloseServiceHandle service"), 1u);
  EXPECT_TRUE(open_files.empty());

  // Refused: the handle is closed, then the fatal error.
  events.clear();
  manager.registered = false;
  manager.start_error = 1053;  // ERROR_SERVICE_REQUEST_TIMEOUT
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to start Vora service (Error: 1053).");
  EXPECT_LT(position("CloseServiceHandle service"),
            position("MessageBoxA Failed to start Vora service (Error: 1053)."));
}

TEST_F(Install, ServiceSlowToRunIsOnlyAWarning) {
  status_script = {state(SERVICE_START_PENDING, 0, 0)};
  EXPECT_FALSE(run_install(fake_manager));
  EXPECT_EQ(elapsed(), 15050u);
  EXPECT_TRUE(log.contains(spdlog::level::warn, "Timed out waiting for Vora service to reach running state"));
  EXPECT_EQ(count("CloseServiceHandle service"), 1u);
  EXPECT_TRUE(fakes.boxes.empty());
  EXPECT_TRUE(open_files.empty());
}

// What the verification logged at error level, in order.
std::vector<std::string> errors_of(const test::captured_log& log) {
  std::vector<std::string> texts;
  for (const auto& record : log.records())
    if (record.level == spdlog::level::err) texts.push_back(record.text);
  return texts;
}

TEST_F(Install, AReleaseBelowTheSetupsFloorIsRefused) {
  const release_version older{0, 9, 0, 0};
  cdn.serve(L"VoraService.exe", body(u"VoraService.exe", older));
  cdn.serve(L"VoraSetup.exe", body(u"VoraSetup.exe", older));
  cdn.serve(L"VoraBroker.exe", body(u"VoraBroker.exe", older));
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(errors_of(log),
            std::vector<std::string>{"Release 0.9.0.0 of 'VoraRelease.json' is below " + version_text(this_release) +
                                     " (the lowest release this setup installs)"});
  EXPECT_FALSE(registry_key);
}

TEST_F(Install, ARecordThatCannotBeReadStopsTheInstall) {
  // The journal of an interrupted update is read first, from the same key.
  registry_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(recover_interrupted_update(fake_manager).value_or(failure{}).message,
            "Failed to read the state of an interrupted Vora update (Error: 5).");

  // A journal that names no step: nobody can tell which installation is
  // whole, so nothing is touched.
  registry_error = 0;
  registry_key = true;
  for (const wchar_t* text : {L"half", L"place, earlier", L"Place"}) {
    registry[L"UpdateInProgress"] = text;
    EXPECT_EQ(recover_interrupted_update(fake_manager).value_or(failure{}).message,
              "Failed to read the state of an interrupted Vora update (Error: 13).");
  }
  // The set-aside names it recorded are read as strictly: one this setup
  // never writes could name a file of somebody else's.
  registry[L"UpdateInProgress"] = L"stop, earlier service";
  for (const wchar_t* run : {L"0123", L"0123456789ABCDEF", L"0123456789abcdeg", L"..\\..\\x0123456789"}) {
    registry[L"UpdateRun"] = run;
    EXPECT_EQ(recover_interrupted_update(fake_manager).value_or(failure{}).message,
              "Failed to read the state of an interrupted Vora update (Error: 13).")
        << narrow(run);
  }
  registry.erase(L"UpdateRun");
  EXPECT_TRUE(events.empty()) << ::testing::PrintToString(events);
  registry.erase(L"UpdateInProgress");

  fakes.boxes.clear();
  registry_error = 0;
  registry_key = true;
  registry[L"HighestRelease"] = L"1.0";  // not four parts: no floor can be read from it
  EXPECT_EQ(VORA_EXIT_CODE(test::dispatch(run_install(fake_manager))), 1);
  EXPECT_EQ(fakes.boxes.at(0).text, "Failed to read the installed Vora release (Error: 13).");
  EXPECT_FALSE(called("CreateServiceW"));
}

}  // namespace
}  // namespace vora
