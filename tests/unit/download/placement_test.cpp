#include "download/placement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "files/safe_files.h"
#include "links.h"
#include "test_support.h"

namespace vora {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

HANDLE open_like_verify(const fs::path& path) {
  return sys().CreateFileW(path.wstring().c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// CloseHandle calls through the seam, counted per handle.
struct close_counter {
  std::vector<HANDLE> closed;
  close_counter() {
    sys().CloseHandle = [this, real = sys().CloseHandle](HANDLE h) {
      closed.push_back(h);
      return real(h);
    };
  }
};

TEST(HeldImage, DisposeClosesOnceAndClearsThePath) {
  test::fake_system system;
  close_counter closes;
  sys().CloseHandle = [&](HANDLE h) {
    closes.closed.push_back(h);
    return TRUE;
  };
  const auto handle = reinterpret_cast<HANDLE>(0x5678);
  {
    held_image held;
    held.handle.reset(handle);
    held.path = L"C:\\x";
    held.dispose();
    EXPECT_EQ(held.handle.get(), nullptr);
    EXPECT_TRUE(held.path.empty());
    held.dispose();
  }
  EXPECT_EQ(closes.closed, std::vector<HANDLE>{handle});

  closes.closed.clear();
  {
    held_image none;
    none.handle.reset(INVALID_HANDLE_VALUE);
    held_image empty;
  }
  EXPECT_TRUE(closes.closed.empty());
}

TEST(HeldImage, MoveTransfersOwnershipSoOnlyTheNewOwnerCloses) {
  test::fake_system system;
  std::vector<HANDLE> closed;
  sys().CloseHandle = [&](HANDLE h) {
    closed.push_back(h);
    return TRUE;
  };
  const auto first = reinterpret_cast<HANDLE>(0x1111);
  const auto second = reinterpret_cast<HANDLE>(0x2222);
  {
    held_image a;
    a.handle.reset(first);
    a.path = L"a";
    held_image b(std::move(a));
    EXPECT_EQ(a.handle.get(), nullptr);
    EXPECT_TRUE(a.path.empty());
    EXPECT_EQ(b.handle.get(), first);
    EXPECT_EQ(b.path, L"a");

    held_image c;
    c.handle.reset(second);
    c = std::move(b);  // c's own handle goes first
    EXPECT_EQ(closed, std::vector<HANDLE>{second});
    EXPECT_EQ(c.handle.get(), first);
  }
  EXPECT_EQ(closed, (std::vector<HANDLE>{second, first}));
}

// GetFinalPathNameByHandleW that knows one path and reports sizes as Windows
// does; records the buffer lengths it was given.
struct final_path_fake {
  std::wstring path;
  std::vector<DWORD> lengths;
  final_path_fake() {
    sys().GetFinalPathNameByHandleW = [this](HANDLE, LPWSTR buffer, DWORD length, DWORD flags) -> DWORD {
      lengths.push_back(length);
      EXPECT_EQ(flags, 0u);
      if (path.size() >= length) return static_cast<DWORD>(path.size() + 1);
      std::wmemcpy(buffer, path.c_str(), path.size() + 1);
      return static_cast<DWORD>(path.size());
    };
  }
};

TEST(UpdateCanonicalPath, RemovesTheLongPathPrefixes) {
  test::fake_system system;
  final_path_fake fake;
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"\\\\?\\C:\\dir\\file.exe", L"C:\\dir\\file.exe"},
      {L"\\\\?\\UNC\\server\\share\\file.exe", L"\\\\server\\share\\file.exe"},
      {L"\\\\?\\UNC\\", L"\\\\"},
      {L"\\\\?\\UN", L"UN"},
      {L"\\\\?\\", L""},
      {L"C:\\plain\\file.exe", L"C:\\plain\\file.exe"},
      {L"\\\\?", L"\\\\?"},
      {L"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},
  };
  for (const auto& [reported, expected] : cases) {
    fake.path = reported;
    held_image held;
    ASSERT_TRUE(update_canonical_path(held));
    EXPECT_EQ(held.path, expected);
  }
}

TEST(UpdateCanonicalPath, GrowsTheBufferToTheReportedSizePlusOne) {
  test::fake_system system;
  final_path_fake fake;
  held_image held;

  fake.path = std::wstring(259, L'a');  // fits with its terminator
  ASSERT_TRUE(update_canonical_path(held));
  EXPECT_EQ(fake.lengths, std::vector<DWORD>{260});
  EXPECT_EQ(held.path, fake.path);

  fake.lengths.clear();
  fake.path = L"\\\\?\\C:\\" + std::wstring(300, L'b');
  ASSERT_TRUE(update_canonical_path(held));
  EXPECT_EQ(fake.lengths, (std::vector<DWORD>{260, 309}));  // 307 characters: needs 308, plus one
  EXPECT_EQ(held.path, L"C:\\" + std::wstring(300, L'b'));
}

TEST(UpdateCanonicalPath, FailureWarnsAndKeepsThePath) {
  test::fake_system system;
  test::captured_log log;
  sys().GetFinalPathNameByHandleW = [](HANDLE, LPWSTR, DWORD, DWORD) -> DWORD {
    sys().SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  };
  held_image held;
  held.path = L"before";
  EXPECT_FALSE(update_canonical_path(held));
  EXPECT_EQ(held.path, L"before");
  EXPECT_EQ(log.texts(), std::vector<std::string>{"GetFinalPathNameByHandleW failed (Error: 5)"});
  EXPECT_TRUE(log.contains(spdlog::level::warn, "GetFinalPathNameByHandleW failed (Error: 5)"));
}

TEST(RenameByHandle, BuildsTheRenameRecordAndReportsFailure) {
  test::fake_system system;
  test::captured_log log;
  const std::wstring target = L"C:\\Program Files\\Vora\\VoraService.exe";
  std::vector<std::uint8_t> seen;
  FILE_INFO_BY_HANDLE_CLASS seen_class{};
  HANDLE seen_handle = nullptr;
  BOOL answer = TRUE;
  sys().SetFileInformationByHandle = [&](HANDLE h, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    seen_handle = h;
    seen_class = info_class;
    seen.assign(static_cast<std::uint8_t*>(info), static_cast<std::uint8_t*>(info) + size);
    if (!answer) sys().SetLastError(ERROR_SHARING_VIOLATION);
    return answer;
  };
  const auto handle = reinterpret_cast<HANDLE>(0x77);
  ASSERT_TRUE(rename_by_handle(handle, target, if_target_exists::replace));
  EXPECT_EQ(seen_handle, handle);
  EXPECT_EQ(seen_class, FileRenameInfo);
  const std::size_t name_bytes = target.size() * sizeof(WCHAR);
  ASSERT_EQ(seen.size(), sizeof(FILE_RENAME_INFO) + name_bytes);
  EXPECT_EQ(seen[0], 1);  // ReplaceIfExists
  const auto* info = reinterpret_cast<const FILE_RENAME_INFO*>(seen.data());
  EXPECT_EQ(info->RootDirectory, nullptr);
  EXPECT_EQ(info->FileNameLength, name_bytes);
  std::wstring name(target.size() + 1, L'?');
  std::memcpy(name.data(), seen.data() + offsetof(FILE_RENAME_INFO, FileName), name_bytes + sizeof(WCHAR));
  EXPECT_EQ(name, target + L'\0');
  EXPECT_TRUE(log.records().empty());

  answer = FALSE;
  EXPECT_FALSE(rename_by_handle(handle, target, if_target_exists::replace));
  EXPECT_EQ(sys().GetLastError(), 32u) << "the caller reports the system's reason";
  EXPECT_TRUE(log.records().empty());
}

TEST(Placement, RenameByHandleReplacesAnExistingFileAndTheHandleFollows) {
  test::fake_system system;
  const fs::path dir = test::make_temp_dir("rename");
  write_file(dir / "new.exe.download", "new bytes");
  write_file(dir / "new.exe", "old bytes");
  held_image held;
  held.handle.reset(open_like_verify(dir / "new.exe.download"));
  ASSERT_NE(held.handle.get(), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(update_canonical_path(held));

  ASSERT_TRUE(rename_by_handle(held.handle.get(), (dir / "new.exe").wstring(), if_target_exists::replace));
  ASSERT_TRUE(update_canonical_path(held));
  std::error_code ec;
  EXPECT_TRUE(is_same_file(held.path, (dir / "new.exe").wstring(), ec));
  EXPECT_FALSE(ec);
  EXPECT_FALSE(fs::exists(dir / "new.exe.download"));
  held.dispose();
  EXPECT_EQ(read_file(dir / "new.exe"), "new bytes");
}

TEST(Placement, IsSameFileComparesIdentityNotContent) {
  const fs::path dir = test::make_temp_dir("identity");
  write_file(dir / "a", "same");
  write_file(dir / "b", "same");
  std::error_code link_error;
  fs::create_hard_link(dir / "a", dir / "a-link", link_error);
  ASSERT_FALSE(link_error) << link_error.message();

  std::error_code ec = std::make_error_code(std::errc::io_error);
  EXPECT_TRUE(is_same_file((dir / "a").wstring(), (dir / "a-link").wstring(), ec));
  EXPECT_FALSE(ec);
  EXPECT_FALSE(is_same_file((dir / "a").wstring(), (dir / "b").wstring(), ec));
  EXPECT_FALSE(ec) << "distinct files are no error";
  EXPECT_FALSE(is_same_file((dir / "a").wstring(), (dir / "missing").wstring(), ec));
  EXPECT_TRUE(ec);
}

// Identity by volume serial number and the whole 128-bit identifier, read
// through an attributes-only open that locks nobody out; every handle closed.
TEST(Placement, IsSameFileReadsFileIdInfoAndClosesEveryHandle) {
  test::fake_system system;
  std::map<std::wstring, platform::file_id_info> ids;
  std::vector<HANDLE> opened, closed;
  DWORD fail_open = 0, fail_query = 0;
  sys().CreateFileW = [&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                          DWORD flags, HANDLE templ) -> HANDLE {
    EXPECT_EQ(std::make_tuple(access, share, disposition, flags),
              std::make_tuple(DWORD{0x80}, DWORD{7}, DWORD{3}, DWORD{0x02000000}));
    EXPECT_EQ(attributes, nullptr);
    EXPECT_EQ(templ, nullptr);
    if (fail_open && path == std::wstring(L"b")) {
      sys().SetLastError(fail_open);
      return INVALID_HANDLE_VALUE;
    }
    opened.push_back(reinterpret_cast<HANDLE>(&ids.at(path)));
    return opened.back();
  };
  sys().GetFileInformationByHandleEx = [&](HANDLE h, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    EXPECT_EQ(info_class, FileIdInfo);
    EXPECT_EQ(size, 24u);
    if (fail_query) {
      sys().SetLastError(fail_query);
      return FALSE;
    }
    std::memcpy(info, h, sizeof(platform::file_id_info));
    return TRUE;
  };
  sys().CloseHandle = [&](HANDLE h) {
    closed.push_back(h);
    return TRUE;
  };
  auto same = [&](std::error_code& ec) {
    opened.clear();
    closed.clear();
    const bool result = is_same_file(L"a", L"b", ec);
    std::sort(opened.begin(), opened.end());
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(opened, closed);
    return result;
  };

  ids[L"a"] = {0x1234, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
  ids[L"b"] = ids[L"a"];
  std::error_code ec = std::make_error_code(std::errc::io_error);
  EXPECT_TRUE(same(ec));
  EXPECT_FALSE(ec);

  ids[L"b"].FileId[15] = 0;  // equal low 64 bits, different high half
  EXPECT_FALSE(same(ec));
  EXPECT_FALSE(ec);

  ids[L"b"] = ids[L"a"];
  ids[L"b"].VolumeSerialNumber = 0x1235;
  EXPECT_FALSE(same(ec));
  EXPECT_FALSE(ec);

  ids[L"b"] = ids[L"a"];
  fail_open = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(same(ec));
  EXPECT_EQ(ec, std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
  EXPECT_EQ(opened.size(), 1u);

  fail_open = 0;
  fail_query = ERROR_INVALID_PARAMETER;
  EXPECT_FALSE(same(ec));
  EXPECT_EQ(ec, std::error_code(ERROR_INVALID_PARAMETER, std::system_category()));
}

TEST(DiscardDownload, ClosesTheHandleThenDeletesTheTemporaryFile) {
  test::fake_system system;
  test::captured_log log;
  close_counter closes;
  const fs::path dir = test::make_temp_dir("discard");
  const fs::path temp = dir / "VoraService.exe.download";
  write_file(temp, "partial");
  held_image held;
  held.handle.reset(open_like_verify(temp));
  held.path = L"kept";
  ASSERT_NE(held.handle.get(), INVALID_HANDLE_VALUE);
  const HANDLE opened = held.handle.get();

  discard_download(held, temp.wstring());
  EXPECT_EQ(held.handle.get(), nullptr);
  EXPECT_EQ(held.path, L"kept");
  // The held handle goes first; the removal's own handles come after it.
  ASSERT_FALSE(closes.closed.empty());
  EXPECT_EQ(closes.closed.front(), opened);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_TRUE(log.records().empty());
}

TEST(DiscardDownload, RemovesAReadOnlyTemporaryFile) {
  test::fake_system system;
  test::captured_log log;
  const fs::path dir = test::make_temp_dir("discard-readonly");
  const fs::path temp = dir / "VoraService.exe.download";
  write_file(temp, "partial");
  fs::permissions(temp, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  held_image held;
  discard_download(held, temp.wstring());
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_TRUE(log.records().empty()) << testing::PrintToString(log.texts());
}

TEST(DiscardDownload, MissingFileAndNoHandleAreQuiet) {
  test::fake_system system;
  test::captured_log log;
  close_counter closes;
  const fs::path dir = test::make_temp_dir("discard-missing");
  held_image held;
  held.handle.reset(INVALID_HANDLE_VALUE);
  discard_download(held, (dir / "absent.download").wstring());
  EXPECT_EQ(held.handle.get(), nullptr);
  EXPECT_EQ(std::count(closes.closed.begin(), closes.closed.end(), INVALID_HANDLE_VALUE), 0);
  EXPECT_TRUE(log.records().empty());
}

TEST(DiscardDownload, WarnsWhenTheTemporaryPathCannotBeRemoved) {
  test::fake_system system;
  test::captured_log log;
  const fs::path dir = test::make_temp_dir("discard-fail");
  const fs::path temp = dir / "busy.download";
  fs::create_directories(temp / "inside");  // a non-empty directory cannot be removed
  held_image held;
  discard_download(held, temp.wstring());
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].level, spdlog::level::warn);
  const std::string prefix = "Failed to delete '" + temp.string() + "' (Error: ";
  EXPECT_EQ(log.records()[0].text.rfind(prefix, 0), 0u) << log.records()[0].text;
  EXPECT_GT(log.records()[0].text.size(), prefix.size() + 1);
  EXPECT_TRUE(fs::exists(temp));
}

TEST(DiscardDownload, RemovesAPlantedLinkButNotItsTarget) {
  test::fake_system system;
  const fs::path dir = test::make_temp_dir("discard-link");
  const fs::path target = dir / "precious.exe";
  const fs::path temp = dir / "VoraService.exe.download";
  write_file(target, "precious");
  std::string why;
  if (!test::make_file_symlink(target, temp, why)) GTEST_SKIP() << "cannot create a symbolic link here: " << why;

  held_image held;
  discard_download(held, temp.wstring());
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
  EXPECT_EQ(read_file(target), "precious");
}

}  // namespace
}  // namespace vora
