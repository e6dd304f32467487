#include "service/configuration.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "service/names.h"
#include "service_fixture.h"

namespace vora {
namespace {

using test::fake_service;

using ServiceSettings = test::service_fixture;

TEST_F(ServiceSettings, DescriptionIsPassedAndRefusalWarned) {
  std::wstring seen;
  DWORD level = 0;
  sys().ChangeServiceConfig2W = [&](SC_HANDLE service, DWORD info_level, LPVOID info) -> BOOL {
    EXPECT_EQ(service, fake_service);
    level = info_level;
    seen = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
    return TRUE;
  };
  EXPECT_TRUE(set_service_description(fake_service, service_description));
  EXPECT_EQ(level, SERVICE_CONFIG_DESCRIPTION);
  EXPECT_EQ(seen, L"Provides anti-cheat protection for Tindle.");
  EXPECT_TRUE(log.records().empty());

  sys().ChangeServiceConfig2W = [](SC_HANDLE, DWORD, LPVOID) -> BOOL {
    sys().SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  };
  EXPECT_FALSE(set_service_description(fake_service, service_description));
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{"ChangeServiceConfig2W (SERVICE_CONFIG_DESCRIPTION) failed (Error: 5)"}));
  EXPECT_EQ(log.records()[0].level, spdlog::level::warn);
}

TEST_F(ServiceSettings, FailureActionsRestartTwiceThenStop) {
  DWORD level = 0;
  SERVICE_FAILURE_ACTIONSW seen{};
  std::vector<std::pair<int, DWORD>> actions;
  sys().ChangeServiceConfig2W = [&](SC_HANDLE, DWORD info_level, LPVOID info) -> BOOL {
    level = info_level;
    seen = *static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
    for (DWORD i = 0; i < seen.cActions; ++i)
      actions.emplace_back(static_cast<int>(seen.lpsaActions[i].Type), seen.lpsaActions[i].Delay);
    return TRUE;
  };
  EXPECT_TRUE(set_service_failure_actions(fake_service));
  EXPECT_EQ(level, SERVICE_CONFIG_FAILURE_ACTIONS);
  EXPECT_EQ(seen.dwResetPeriod, 86400u);
  EXPECT_EQ(seen.lpRebootMsg, nullptr);
  EXPECT_EQ(seen.lpCommand, nullptr);
  EXPECT_EQ(actions, (std::vector<std::pair<int, DWORD>>{
                         {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_NONE, 0}}));
  EXPECT_TRUE(log.records().empty());

  sys().ChangeServiceConfig2W = [](SC_HANDLE, DWORD, LPVOID) -> BOOL {
    sys().SetLastError(1072);
    return FALSE;
  };
  EXPECT_FALSE(set_service_failure_actions(fake_service));
  EXPECT_TRUE(
      log.contains(spdlog::level::warn, "ChangeServiceConfig2W (SERVICE_CONFIG_FAILURE_ACTIONS) failed (Error: 1072)"));
}

// The security calls, each recorded, with one of them made to fail.
class InteractiveDacl : public test::service_fixture {
 protected:
  InteractiveDacl() {
    auto& t = sys();
    t.LocalAlloc = [this](UINT flags, SIZE_T bytes) -> HLOCAL {
      record("LocalAlloc " + std::to_string(flags) + " " + std::to_string(bytes));
      if (fail_at == "LocalAlloc") return fail_null(ERROR_NOT_ENOUGH_MEMORY);
      return allocate(bytes);
    };
    t.LocalFree = [this](HLOCAL memory) -> HLOCAL {
      EXPECT_EQ(live.erase(memory), 1u) << "freed memory that is not live";
      ++frees;
      std::free(memory);
      return nullptr;
    };
    t.QueryServiceObjectSecurity = [this](SC_HANDLE service, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR buffer,
                                          DWORD size, LPDWORD needed) -> BOOL {
      EXPECT_EQ(service, fake_service);
      EXPECT_EQ(info, DACL_SECURITY_INFORMATION);
      if (buffer == nullptr) {
        record("QueryServiceObjectSecurity size " + std::to_string(size));
        *needed = size_needed;
        if (fail_at == "size query") return fail(size_error);
        if (size_query_succeeds) return TRUE;
        sys().SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      record("QueryServiceObjectSecurity read " + std::to_string(size));
      EXPECT_TRUE(live.count(buffer));
      descriptor = buffer;
      if (fail_at == "read") return fail(1001);
      return TRUE;
    };
    t.GetSecurityDescriptorDacl = [this](PSECURITY_DESCRIPTOR buffer, LPBOOL present, PACL* dacl,
                                         LPBOOL defaulted) -> BOOL {
      record("GetSecurityDescriptorDacl");
      EXPECT_EQ(buffer, descriptor);
      if (fail_at == "get dacl") return fail(1002);
      *present = existing != nullptr;
      *dacl = existing;
      *defaulted = FALSE;
      return TRUE;
    };
    t.CreateWellKnownSid = [this](WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid, DWORD* size) -> BOOL {
      record("CreateWellKnownSid " + std::to_string(static_cast<int>(type)) + " " + std::to_string(*size));
      EXPECT_EQ(domain, nullptr);
      if (fail_at == "sid") return fail(1003);
      static const BYTE interactive[12] = {1, 1, 0, 0, 0, 0, 0, 5, 4, 0, 0, 0};  // S-1-5-4
      std::memcpy(sid, interactive, sizeof(interactive));
      *size = sizeof(interactive);
      sid_buffer = sid;
      return TRUE;
    };
    t.SetEntriesInAclW = [this](ULONG count, PEXPLICIT_ACCESS_W entries, PACL old_acl, PACL* new_acl) -> DWORD {
      record("SetEntriesInAclW " + std::to_string(count));
      entry = entries[0];
      old_list = old_acl;
      if (fail_at == "set entries") {
        sys().SetLastError(ERROR_ACCESS_DENIED);  // not the code to report
        return 1336;                              // ERROR_INVALID_ACL
      }
      *new_acl = static_cast<PACL>(allocate(64));
      built = *new_acl;
      return ERROR_SUCCESS;
    };
    t.InitializeSecurityDescriptor = [this](PSECURITY_DESCRIPTOR sd, DWORD revision) -> BOOL {
      record("InitializeSecurityDescriptor " + std::to_string(revision));
      new_descriptor = sd;
      if (fail_at == "init") return fail(1004);
      return TRUE;
    };
    t.SetSecurityDescriptorDacl = [this](PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted) -> BOOL {
      record("SetSecurityDescriptorDacl " + std::to_string(present) + " " + std::to_string(defaulted));
      EXPECT_EQ(sd, new_descriptor);
      EXPECT_EQ(dacl, built);
      if (fail_at == "attach") return fail(1005);
      return TRUE;
    };
    t.SetServiceObjectSecurity = [this](SC_HANDLE service, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd) -> BOOL {
      record("SetServiceObjectSecurity " + std::to_string(info));
      EXPECT_EQ(service, fake_service);
      EXPECT_EQ(sd, new_descriptor);
      if (fail_at == "apply") return fail(1006);
      return TRUE;
    };
  }
  ~InteractiveDacl() override {
    for (void* memory : live) std::free(memory);
  }

  void* allocate(SIZE_T bytes) {
    void* memory = std::calloc(1, bytes);
    live.insert(memory);
    return memory;
  }
  BOOL fail(DWORD code) {
    sys().SetLastError(code);
    return FALSE;
  }
  HLOCAL fail_null(DWORD code) {
    sys().SetLastError(code);
    return nullptr;
  }

  std::string fail_at;
  DWORD size_needed = 120;
  DWORD size_error = ERROR_ACCESS_DENIED;
  bool size_query_succeeds = false;
  PACL existing = reinterpret_cast<PACL>(0x4400);
  std::set<void*> live;
  int frees = 0;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSECURITY_DESCRIPTOR new_descriptor = nullptr;
  PSID sid_buffer = nullptr;
  EXPLICIT_ACCESS_W entry{};
  PACL old_list = nullptr;
  PACL built = nullptr;
};

TEST_F(InteractiveDacl, GrantsExactlyQueryAndStartToInteractiveUsers) {
  std::string error = "untouched";
  EXPECT_TRUE(apply_interactive_service_dacl(fake_service, error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(events,
            (std::vector<std::string>{
                "QueryServiceObjectSecurity size 0", "LocalAlloc 64 120", "QueryServiceObjectSecurity read 120",
                "GetSecurityDescriptorDacl", "CreateWellKnownSid 11 68", "SetEntriesInAclW 1",
                "InitializeSecurityDescriptor 1", "SetSecurityDescriptorDacl 1 0", "SetServiceObjectSecurity 4"}));
  EXPECT_EQ(entry.grfAccessPermissions, 0x15u);
  EXPECT_EQ(entry.grfAccessMode, SET_ACCESS);
  EXPECT_EQ(entry.grfInheritance, NO_INHERITANCE);
  EXPECT_EQ(entry.Trustee.pMultipleTrustee, nullptr);
  EXPECT_EQ(entry.Trustee.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
  EXPECT_EQ(entry.Trustee.TrusteeForm, TRUSTEE_IS_SID);
  EXPECT_EQ(entry.Trustee.TrusteeType, TRUSTEE_IS_GROUP);
  EXPECT_EQ(static_cast<PSID>(entry.Trustee.ptstrName), sid_buffer);
  EXPECT_EQ(old_list, existing);  // the service's own list is the base
  EXPECT_TRUE(live.empty());
  EXPECT_EQ(frees, 2);
  EXPECT_TRUE(log.records().empty());
}

TEST_F(InteractiveDacl, ServiceWithoutAListGetsOneWithTheEntryAlone) {
  existing = nullptr;
  std::string error;
  EXPECT_TRUE(apply_interactive_service_dacl(fake_service, error));
  EXPECT_EQ(old_list, nullptr);
  EXPECT_TRUE(called("SetServiceObjectSecurity 4"));
  EXPECT_TRUE(live.empty());
}

TEST_F(InteractiveDacl, EachFailingStepNamesItselfAndFreesWhatWasAllocated) {
  struct step {
    std::string fail_at;
    std::string message;
    std::string last_event;
  };
  const std::vector<step> steps = {
      {"size query", "Failed to query service security descriptor size: 5", "QueryServiceObjectSecurity size 0"},
      {"LocalAlloc", "Failed to allocate security descriptor buffer: 8", "LocalAlloc 64 120"},
      {"read", "Failed to query service security descriptor: 1001", "QueryServiceObjectSecurity read 120"},
      {"get dacl", "Failed to get existing service DACL: 1002", "GetSecurityDescriptorDacl"},
      {"sid", "Failed to create INTERACTIVE well-known SID: 1003", "CreateWellKnownSid 11 68"},
      // The returned code, not the thread's last error (5).
      {"set entries", "Failed to build new service DACL: 1336", "SetEntriesInAclW 1"},
      {"init", "Failed to initialize new security descriptor: 1004", "InitializeSecurityDescriptor 1"},
      {"attach", "Failed to attach new DACL to security descriptor: 1005", "SetSecurityDescriptorDacl 1 0"},
      {"apply", "Failed to apply new service security descriptor: 4294967295", "SetServiceObjectSecurity 4"},
  };
  for (const auto& s : steps) {
    events.clear();
    frees = 0;
    fail_at = s.fail_at;
    if (s.fail_at == "apply") {
      // Codes are unsigned decimals.
      sys().SetServiceObjectSecurity = [this](SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) -> BOOL {
        record("SetServiceObjectSecurity 4");
        return fail(0xFFFFFFFF);
      };
    }
    std::string error;
    EXPECT_FALSE(apply_interactive_service_dacl(fake_service, error)) << s.fail_at;
    EXPECT_EQ(error, s.message);
    EXPECT_EQ(events.back(), s.last_event) << s.fail_at << ": no step after a failure";
    EXPECT_TRUE(live.empty()) << s.fail_at << ": every allocation freed";
    const int allocated =
        s.fail_at == "size query" || s.fail_at == "LocalAlloc"                                               ? 0
        : s.fail_at == "read" || s.fail_at == "get dacl" || s.fail_at == "sid" || s.fail_at == "set entries" ? 1
                                                                                                             : 2;
    EXPECT_EQ(frees, allocated) << s.fail_at;
  }
  EXPECT_TRUE(log.records().empty());
}

TEST_F(InteractiveDacl, EmptyDescriptorSizeIsAnErrorWithoutAllocation) {
  // Against expectation the size query succeeds and reports nothing.
  size_query_succeeds = true;
  size_needed = 0;
  sys().SetLastError(0);
  std::string error;
  EXPECT_FALSE(apply_interactive_service_dacl(fake_service, error));
  EXPECT_EQ(error, "Failed to query service security descriptor size: 0");
  EXPECT_EQ(events, (std::vector<std::string>{"QueryServiceObjectSecurity size 0"}));

  // The usual "buffer too small" answer with no size.
  events.clear();
  size_query_succeeds = false;
  EXPECT_FALSE(apply_interactive_service_dacl(fake_service, error));
  EXPECT_EQ(error, "Failed to query service security descriptor size: 122");
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(InteractiveDacl, SizeQueryThatSucceedsWithASizeGoesOn) {
  size_query_succeeds = true;
  std::string error;
  EXPECT_TRUE(apply_interactive_service_dacl(fake_service, error));
  EXPECT_TRUE(called("LocalAlloc 64 120"));
}

}  // namespace
}  // namespace vora

#ifdef _WIN32
#include <sddl.h>

namespace vora {
namespace {

// The real list arithmetic of the system, with the service's stored
// descriptor played by a buffer.
class InteractiveDaclOnRealLists : public ::testing::Test {
 protected:
  InteractiveDaclOnRealLists() {
    sys().QueryServiceObjectSecurity = [this](SC_HANDLE, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR buffer,
                                              DWORD size, LPDWORD needed) -> BOOL {
      EXPECT_EQ(info, DACL_SECURITY_INFORMATION);
      *needed = static_cast<DWORD>(stored.size());
      if (buffer == nullptr || size < stored.size()) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      std::memcpy(buffer, stored.data(), stored.size());
      return TRUE;
    };
    sys().SetServiceObjectSecurity = [this](SC_HANDLE, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd) -> BOOL {
      EXPECT_EQ(info, DACL_SECURITY_INFORMATION);
      DWORD size = 0;
      ::MakeSelfRelativeSD(sd, nullptr, &size);
      std::vector<BYTE> relative(size);
      if (!::MakeSelfRelativeSD(sd, relative.data(), &size)) return FALSE;
      stored = std::move(relative);
      return TRUE;
    };
  }

  void store(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &size));
    stored.assign(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + size);
    ::LocalFree(sd);
  }

  // Allowed rights per trustee SID string, in list order.
  std::vector<std::pair<std::wstring, DWORD>> stored_entries() const {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    auto* sd = const_cast<BYTE*>(stored.data());
    if (!::GetSecurityDescriptorDacl(sd, &present, &list, &defaulted) || list == nullptr) return entries;
    for (DWORD i = 0; i < list->AceCount; ++i) {
      void* ace = nullptr;
      if (!::GetAce(list, i, &ace)) continue;
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      LPWSTR text = nullptr;
      ::ConvertSidToStringSidW(&allowed->SidStart, &text);
      entries.emplace_back(text ? text : L"?", allowed->Mask);
      ::LocalFree(text);
    }
    return entries;
  }

  test::fake_system fakes;
  std::vector<BYTE> stored;
};

TEST_F(InteractiveDaclOnRealLists, InteractiveEndsWithExactlyQueryAndStartOnceOnly) {
  // INTERACTIVE held SERVICE_STOP as well; SYSTEM keeps what it had.
  store(L"D:(A;;0x35;;;IU)(A;;0xF01FF;;;SY)");
  std::string error;
  ASSERT_TRUE(apply_interactive_service_dacl(test::fake_service, error)) << error;
  const auto once = stored_entries();
  EXPECT_NE(std::find(once.begin(), once.end(), std::make_pair(std::wstring(L"S-1-5-4"), DWORD{0x15})), once.end());
  EXPECT_NE(std::find(once.begin(), once.end(), std::make_pair(std::wstring(L"S-1-5-18"), DWORD{0xF01FF})), once.end());
  EXPECT_EQ(std::count_if(once.begin(), once.end(), [](const auto& e) { return e.first == L"S-1-5-4"; }), 1);

  ASSERT_TRUE(apply_interactive_service_dacl(test::fake_service, error)) << error;
  EXPECT_EQ(stored_entries(), once);
}

TEST_F(InteractiveDaclOnRealLists, ServiceWithoutAListGetsTheInteractiveEntryAlone) {
  store(L"O:SY");
  std::string error;
  ASSERT_TRUE(apply_interactive_service_dacl(test::fake_service, error)) << error;
  EXPECT_EQ(stored_entries(), (std::vector<std::pair<std::wstring, DWORD>>{{L"S-1-5-4", 0x15}}));
}

}  // namespace
}  // namespace vora
#endif
