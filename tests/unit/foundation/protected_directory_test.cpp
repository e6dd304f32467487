// The data directories and link-safe removal. Host symbolic links are real
// links here: the host build opens a link itself when asked for the reparse
// point, as Windows does. Wine cannot make links from Windows code, so the
// cases that plant one run on the host only; what Wine does with a host link
// (it opens the target) is faked where it matters.
#include "files/protected_directory.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <fstream>

#include "base/text.h"
#include "diagnostics/crash_handler.h"
#include "diagnostics/logging.h"
#include "diagnostics/pruning.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "test_support.h"

namespace vora {
namespace {

namespace fs = std::filesystem;
using test::captured_log;
using test::fake_system;

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// S-1-5-21-1-2-3-1001: an ordinary user.
const fixed_sid& ordinary_user_sid() {
  static const fixed_sid sid = [] {
    fixed_sid s;
    const BYTE bytes[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0};
    std::copy(std::begin(bytes), std::end(bytes), s.bytes.begin());
    return s;
  }();
  return sid;
}

// The player's own user, the same SID as their elevated token's.
const fixed_sid& players_user_sid() { return wine_user_sid(); }

class DataDirectories : public ::testing::Test {
 protected:
  void SetUp() override {
    release_data_directories();
    fs::remove_all(data_directory());
  }
  void TearDown() override {
    release_data_directories();
    fs::remove_all(data_directory());
  }
  // Neither the host nor Wine keeps owners: a directory holding a file named
  // "planted" belongs to the given user, everything else to Administrators.
  void owners_by_marker(const fixed_sid& planter) {
    sys().under_wine = [] { return false; };
    sys().GetSecurityInfo = [real = sys().GetSecurityInfo, &planter](
                                HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                                PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
      const DWORD result = real(object, type, info, owner, group, dacl, sacl, descriptor);
      std::wstring path;
      final_path_of(object, path);
      *owner = fs::exists(fs::path(path) / "planted") ? planter.get() : administrators_sid().get();
      return result;
    };
  }
  fake_system fakes_;
};

TEST_F(DataDirectories, AreCreatedWithTheProtectedDescriptorOwnedByAdministrators) {
  struct grant {
    std::string sid;
    DWORD access, mode, inheritance, form;
  };
  std::vector<grant> grants;
  std::vector<std::string> owners, created, applied;
  std::vector<SECURITY_DESCRIPTOR_CONTROL> controls;
  auto& t = sys();
  t.SetEntriesInAclW = [&, real = t.SetEntriesInAclW](ULONG count, PEXPLICIT_ACCESS_W entries, PACL old, PACL* acl) {
    for (ULONG i = 0; i < count; ++i)
      grants.push_back({sid_text(entries[i].Trustee.ptstrName), entries[i].grfAccessPermissions,
                        static_cast<DWORD>(entries[i].grfAccessMode), entries[i].grfInheritance,
                        static_cast<DWORD>(entries[i].Trustee.TrusteeForm)});
    EXPECT_EQ(old, nullptr) << "nothing is merged from elsewhere";
    return real(count, entries, old, acl);
  };
  t.SetSecurityDescriptorOwner = [&, real = t.SetSecurityDescriptorOwner](PSECURITY_DESCRIPTOR sd, PSID owner,
                                                                          BOOL defaulted) {
    owners.push_back(sid_text(owner));
    return real(sd, owner, defaulted);
  };
  t.SetSecurityDescriptorControl = [&, real = t.SetSecurityDescriptorControl](PSECURITY_DESCRIPTOR sd,
                                                                              SECURITY_DESCRIPTOR_CONTROL mask,
                                                                              SECURITY_DESCRIPTOR_CONTROL bits) {
    EXPECT_EQ(mask, bits);
    controls.push_back(bits);
    return real(sd, mask, bits);
  };
  t.CreateDirectoryW = [&, real = t.CreateDirectoryW](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    EXPECT_TRUE(attributes && attributes->lpSecurityDescriptor) << narrow_path(path);
    created.push_back(narrow_path(path));
    return real(path, attributes);
  };
  // On the directory alone: the higher-level calls would rewrite what lies
  // below it, following any link there.
  t.SetSecurityInfo = [](auto...) -> DWORD {
    ADD_FAILURE() << "SetSecurityInfo propagates to children";
    return ERROR_ACCESS_DENIED;
  };
  t.SetKernelObjectSecurity = [&, real = t.SetKernelObjectSecurity](HANDLE object, SECURITY_INFORMATION info,
                                                                    PSECURITY_DESCRIPTOR descriptor) {
    std::wstring path;
    final_path_of(object, path);
    EXPECT_EQ(info, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_EQ(sid_text(static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Owner), "S-1-5-32-544");
    applied.push_back(fs::path(path).filename().string());
    return real(object, info, descriptor);
  };

  std::vector<std::string> notes;
  EXPECT_FALSE(prepare_data_directories(notes));
  EXPECT_TRUE(notes.empty());

  const std::vector<std::string> expected_dirs = {narrow_path(data_directory()), narrow_path(program_log_directory()),
                                                  narrow_path(program_crash_directory())};
  EXPECT_EQ(created, expected_dirs);
  // Each descriptor is built twice: to create the directory, then to apply it.
  EXPECT_EQ(owners, std::vector<std::string>(6, "S-1-5-32-544"));
  EXPECT_EQ(controls, std::vector<SECURITY_DESCRIPTOR_CONTROL>(6, SE_DACL_PROTECTED));
  // What was made is checked and given its owner and DACL like anything found.
  EXPECT_EQ(applied, (std::vector<std::string>{"Vora", "Logs", "Crashes"}));
  // Users may read the logs, to send them to support, but no crash dump.
  ASSERT_EQ(grants.size(), 8u);
  const std::vector<std::pair<std::string, DWORD>> expected_grants = {
      {"S-1-5-18", 0x1F01FF}, {"S-1-5-32-544", 0x1F01FF}, {"S-1-5-32-545", 0x1200A9},  // Vora
      {"S-1-5-18", 0x1F01FF}, {"S-1-5-32-544", 0x1F01FF}, {"S-1-5-32-545", 0x1200A9},  // Logs
      {"S-1-5-18", 0x1F01FF}, {"S-1-5-32-544", 0x1F01FF}};                             // Crashes
  for (std::size_t i = 0; i < grants.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(grants[i].sid, expected_grants[i].first);
    EXPECT_EQ(grants[i].access, expected_grants[i].second);
    EXPECT_EQ(grants[i].mode, static_cast<DWORD>(SET_ACCESS));
    EXPECT_EQ(grants[i].inheritance, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    EXPECT_EQ(grants[i].form, static_cast<DWORD>(TRUSTEE_IS_SID));
  }
}

TEST_F(DataDirectories, OneOwnedByAnOrdinaryUserIsMovedAsideOneOwnedByAdministratorsIsKept) {
  fs::create_directories(program_log_directory());
  fs::create_directories(program_crash_directory());
  write(program_log_directory() / "planted.log", "planted by a user");
  write(program_crash_directory() / "kept.dmp", "a real dump");
  sys().GetSecurityInfo = [real = sys().GetSecurityInfo](HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                                         PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                                         PSECURITY_DESCRIPTOR* descriptor) {
    const DWORD result = real(object, type, info, owner, group, dacl, sacl, descriptor);
    std::wstring path;
    final_path_of(object, path);
    const bool planted = fs::exists(fs::path(path) / "planted.log");
    *owner = planted ? ordinary_user_sid().get() : administrators_sid().get();
    return result;
  };

  std::vector<std::string> notes;
  ASSERT_FALSE(prepare_data_directories(notes));

  ASSERT_EQ(notes.size(), 1u);
  const std::string logs = narrow_path(program_log_directory());
  const std::string prefix = "Moved untrusted directory '" + logs + "' aside to '" + logs + ".untrusted-";
  const std::string suffix = "': it is owned by S-1-5-21-1-2-3-1001";
  EXPECT_EQ(notes[0].rfind(prefix, 0), 0u) << notes[0];
  EXPECT_EQ(notes[0].size() - std::min(notes[0].size(), suffix.size()), notes[0].rfind(suffix)) << notes[0];
  EXPECT_TRUE(fs::is_directory(program_log_directory()));
  EXPECT_TRUE(fs::is_empty(program_log_directory()));
  std::vector<fs::path> aside;
  for (const auto& entry : fs::directory_iterator(data_directory()))
    if (entry.path().filename().string().rfind("Logs.untrusted-", 0) == 0) aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(read(aside[0] / "planted.log"), "planted by a user");
  EXPECT_EQ(read(program_crash_directory() / "kept.dmp"), "a real dump");
}

TEST_F(DataDirectories, OneOwnedByThePlayersOwnUserIsMovedAsideAndHeldOnesCannotBeRenamed) {
  owners_by_marker(players_user_sid());
  fs::create_directories(data_directory());
  write(data_directory() / "planted", "by the player's unelevated process");
  std::vector<std::pair<std::string, DWORD>> shares;
  sys().CreateFileW = [&, real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                    LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                                    HANDLE template_file) {
    if (!(share & FILE_SHARE_DELETE)) shares.emplace_back(fs::path(path).filename().string(), access);
    return real(path, access, share, attributes, disposition, flags, template_file);
  };

  std::vector<std::string> notes;
  ASSERT_FALSE(prepare_data_directories(notes));

  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("': it is owned by S-1-5-21-0-0-0-1000"), std::string::npos) << notes[0];
  EXPECT_FALSE(fs::exists(data_directory() / "planted"));
  // Held without delete sharing once secured, and let go on request.
  ASSERT_EQ(shares.size(), 3u);
  EXPECT_EQ(shares[0].first, "Vora");
  EXPECT_EQ(shares[1].first, "Logs");
  EXPECT_EQ(shares[2].first, "Crashes");
  for (const auto& share : shares) EXPECT_EQ(share.second & DELETE, 0u) << share.first;
  release_data_directories();
  notes.clear();
  EXPECT_FALSE(prepare_data_directories(notes));
  EXPECT_TRUE(notes.empty()) << "what the program made is trusted next time";
}

TEST(DirectoryOwners, TheWineUserIsTrustedOnlyUnderWine) {
  fake_system fakes;
  sys().under_wine = [] { return false; };
  EXPECT_TRUE(is_trusted_owner(administrators_sid().get()));
  EXPECT_FALSE(is_trusted_owner(wine_user_sid().get()));
  sys().under_wine = [] { return true; };
  EXPECT_TRUE(is_trusted_owner(wine_user_sid().get()));
  EXPECT_FALSE(is_trusted_owner(users_sid().get()));
}

TEST_F(DataDirectories, OneThatDeniesAdministratorsIsTakenOverAndMovedAside) {
  owners_by_marker(players_user_sid());
  fs::create_directories(data_directory());
  write(data_directory() / "planted", "made while the folder was absent");
  std::vector<std::wstring> privileges;
  bool enabled = false;
  auto& t = sys();
  t.LookupPrivilegeValueW = [&](LPCWSTR, LPCWSTR name, PLUID luid) -> BOOL {
    privileges.emplace_back(name);
    *luid = LUID{static_cast<DWORD>(privileges.size()), 0};
    return TRUE;
  };
  int held = 0;  // privileges enabled and not yet put back
  t.AdjustTokenPrivileges = [&](HANDLE, BOOL disable_all, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES previous,
                                PDWORD) -> BOOL {
    EXPECT_FALSE(disable_all);
    if (state->Privileges[0].Attributes == SE_PRIVILEGE_ENABLED) {
      // Each was disabled before.
      *previous = *state;
      previous->Privileges[0].Attributes = 0;
      ++held;
    } else {
      --held;
    }
    enabled = held > 0;
    return TRUE;
  };
  // The DACL of the planted directory grants administrators nothing; the
  // parent's delete-child right still lets them rename it.
  t.CreateFileW = [&, real = t.CreateFileW](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                            DWORD disposition, DWORD flags, HANDLE template_file) {
    if (fs::path(path) == data_directory() && fs::exists(data_directory() / "planted") && !enabled &&
        (access & ~(DELETE | SYNCHRONIZE))) {
      sys().SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    return real(path, access, share, attributes, disposition, flags, template_file);
  };

  std::vector<std::string> notes;
  ASSERT_FALSE(prepare_data_directories(notes));

  EXPECT_EQ(privileges,
            (std::vector<std::wstring>{L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege", L"SeBackupPrivilege"}));
  EXPECT_EQ(held, 0) << "dropped again after the open that needed them";
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("': it is owned by S-1-5-21-0-0-0-1000"), std::string::npos) << notes[0];
  EXPECT_TRUE(fs::is_directory(program_crash_directory()));
}

TEST_F(DataDirectories, NamesPreparedForTheMovedAsideFolderAreSkipped) {
  owners_by_marker(ordinary_user_sid());
  fs::create_directories(program_log_directory());
  write(program_log_directory() / "planted", "by another user");
  // Every name the counted search would try, for the next few seconds.
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  for (auto seconds = now; seconds < now + 5; ++seconds) {
    const std::string base = "Logs.untrusted-" + std::to_string(seconds);
    fs::create_directory(data_directory() / base);
    for (int n = 1; n < 100; ++n) fs::create_directory(data_directory() / (base + "-" + std::to_string(n)));
  }

  std::vector<std::string> notes;
  ASSERT_FALSE(prepare_data_directories(notes));

  ASSERT_EQ(notes.size(), 1u) << "the data directory is trusted, Logs is not";
  EXPECT_EQ(notes[0].find("Moved untrusted directory '" + narrow_path(program_log_directory())), 0u) << notes[0];
  EXPECT_TRUE(fs::is_directory(program_log_directory()));
  EXPECT_FALSE(fs::exists(program_log_directory() / "planted"));
}

#ifndef _WIN32
TEST_F(DataDirectories, LinkPlantedAsLogsIsRenamedAsALink) {
  const fs::path outside = test::make_temp_dir("outside");
  write(outside / "old.log", "someone else's");
  std::vector<std::string> notes;
  ASSERT_FALSE(prepare_data_directories(notes));
  release_data_directories();
  fs::remove(program_log_directory());
  fs::create_directory_symlink(outside, program_log_directory());

  notes.clear();
  ASSERT_FALSE(prepare_data_directories(notes));

  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("': it is a link"), std::string::npos) << notes[0];
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(program_log_directory())));
  EXPECT_EQ(read(outside / "old.log"), "someone else's");
  bool renamed_link = false;
  for (const auto& entry : fs::directory_iterator(data_directory()))
    renamed_link |= entry.is_symlink() && fs::read_symlink(entry.path()) == outside;
  EXPECT_TRUE(renamed_link);
}

// ---- Tree removal and pruning ----

class LinkSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    write(outside_ / "precious.txt", "not the program's");
    write(outside_ / "old.log", "not the program's");
    fs::last_write_time(outside_ / "old.log", fs::file_time_type::clock::now() - std::chrono::hours(5000));
  }
  // Wine opens what a host link points to even when asked for the link.
  void open_links_as_wine_does() {
    sys().CreateFileW = [real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                   LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                                   HANDLE template_file) {
      return real(path, access, share, attributes, disposition, flags & ~FILE_FLAG_OPEN_REPARSE_POINT, template_file);
    };
  }
  fake_system fakes_;
  captured_log log_;
  fs::path root_ = test::make_temp_dir("tree");
  fs::path outside_ = test::make_temp_dir("outside");
};

TEST_F(LinkSafety, LinksInATreeAreRemovedAsLinksAndNeverListed) {
  fs::create_directories(root_ / "sub");
  write(root_ / "sub" / "file.exe", "x");
  fs::create_directory_symlink(outside_, root_ / "sub" / "junction");
  fs::create_symlink(outside_ / "precious.txt", root_ / "file-link.exe");
  std::vector<std::string> listed;
  sys().FindFirstFileW = [&, real = sys().FindFirstFileW](LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    listed.push_back(narrow_path(pattern));
    return real(pattern, data);
  };

  EXPECT_EQ(remove_tree(root_, link_report::warn), 0u);

  EXPECT_FALSE(fs::exists(fs::symlink_status(root_)));
  EXPECT_EQ(read(outside_ / "precious.txt"), "not the program's");
  EXPECT_EQ(listed, (std::vector<std::string>{narrow_path(root_ / "*"), narrow_path(root_ / "sub" / "*")}));
}

TEST_F(LinkSafety, ALinkThatOpensAsItsTargetIsLeftInPlaceWithAWarning) {
  fs::create_directory_symlink(outside_, root_ / "junction");
  open_links_as_wine_does();

  EXPECT_EQ(remove_tree(root_, link_report::warn), ERROR_CANT_RESOLVE_FILENAME);

  EXPECT_TRUE(fs::is_symlink(root_ / "junction"));
  EXPECT_EQ(read(outside_ / "precious.txt"), "not the program's");
  EXPECT_TRUE(log_.contains(spdlog::level::warn, "Left link '" + narrow_path(root_ / "junction") +
                                                     "' in place: removing it would reach '" +
                                                     narrow_path(fs::canonical(outside_)) + "'"));
}

TEST_F(LinkSafety, PruningNeverDeletesThroughALinkSeenOrHidden) {
  fs::create_symlink(outside_ / "old.log", root_ / "seen.log");
  prune_old_files(root_, L".log", 720, 150);
  EXPECT_TRUE(fs::is_symlink(root_ / "seen.log"));

  // Wine shows a file link as a plain file; the handle's final path gives it away.
  sys().FindFirstFileW = [real = sys().FindFirstFileW](LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    const HANDLE find = real(pattern, data);
    data->dwFileAttributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
    return find;
  };
  sys().FindNextFileW = [real = sys().FindNextFileW](HANDLE find, LPWIN32_FIND_DATAW data) {
    const BOOL more = real(find, data);
    data->dwFileAttributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
    return more;
  };
  open_links_as_wine_does();
  prune_old_files(root_, L".log", 720, 0);  // every candidate goes

  EXPECT_TRUE(fs::is_symlink(root_ / "seen.log"));
  EXPECT_EQ(read(outside_ / "old.log"), "not the program's");
  ASSERT_EQ(log_.records().size(), 1u);
  EXPECT_EQ(log_.records()[0].text.rfind("Failed to prune file '" + narrow_path(root_ / "seen.log") + "': ", 0), 0u);
}
#endif

}  // namespace
}  // namespace vora
