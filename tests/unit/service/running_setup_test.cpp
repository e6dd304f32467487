#include "service/running_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "files/directories.h"
#include "test_support.h"

namespace vora {
namespace {

namespace fs = std::filesystem;

// The moves a standard user could steer: a setup started elsewhere whose
// path is turned into a link into the install directory, or a path in it
// that no longer names the image that was started. Nothing is moved, and
// nothing is opened through a link.
TEST(RunningSetup, OnlyTheImageStartedFromTheInstallDirectoryIsEverMoved) {
  test::fake_system fakes;
  test::captured_log log;
  const fs::path install = install_directory();
  std::error_code ignored;
  fs::remove_all(install, ignored);
  fs::create_directories(install);
  const fs::path elsewhere = install.parent_path() / "Downloads";
  fs::create_directories(elsewhere);
  std::ofstream(install / "VoraSetup.exe") << "the installed setup";
  std::ofstream(install / "VoraService.exe") << "the installed service";
  std::ofstream(elsewhere / "VoraSetup.exe") << "the setup the player started";

  std::wstring module;
  sys().GetModuleFileNameW = [&](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
    if (module.size() >= size) return 0;
    std::copy(module.begin(), module.end(), buffer);
    buffer[module.size()] = L'\0';
    return static_cast<DWORD>(module.size());
  };
  std::vector<std::wstring> opened;
  sys().CreateFileW = [&, real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                    LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                                    HANDLE templ) {
    if (access & DELETE) {
      opened.push_back(path);
      EXPECT_TRUE(flags & FILE_FLAG_OPEN_REPARSE_POINT) << "never through a link";
    }
    return real(path, access, share, attributes, disposition, flags, templ);
  };
  auto untouched = [&] {
    EXPECT_TRUE(fs::exists(install / "VoraSetup.exe"));
    EXPECT_TRUE(fs::exists(install / "VoraService.exe"));
    EXPECT_FALSE(log.contains(spdlog::level::info, "Moved the running setup out of the install directory to"));
  };

  // Started from Downloads, whose name is then a link into the install
  // directory: the path as started is not inside it, so nothing is opened.
  // (Links are the host's here: the Windows runtime under Wine makes none.)
  module = (elsewhere / "VoraSetup.exe").wstring();
  note_running_image();
#ifndef _WIN32
  fs::rename(elsewhere, install.parent_path() / "Downloads.away");
  fs::create_directory_symlink(install, elsewhere);
#endif
  opened.clear();
  move_running_setup_out();
  EXPECT_TRUE(opened.empty());
  untouched();

  // A path in the install directory that names another file than the one
  // noted at start (the identity differs) is left where it is.
  module = (install / "VoraSetup.exe").wstring();
  note_running_image();
  fs::rename(install / "VoraSetup.exe", install / "VoraSetup.old");
  fs::rename(install / "VoraService.exe", install / "VoraSetup.exe");
  move_running_setup_out();
  EXPECT_TRUE(
      log.contains(spdlog::level::warn, "'" + to_utf8(module) + "' is not the running setup; it stays where it is"))
      << testing::PrintToString(log.texts());
  EXPECT_TRUE(fs::exists(install / "VoraSetup.exe"));
  EXPECT_FALSE(log.contains(spdlog::level::info, "Moved the running setup out of the install directory to"));

#ifndef _WIN32
  // A link in its place is the link, opened as itself: not the image either.
  fs::remove(install / "VoraSetup.exe");
  fs::create_symlink(install / "VoraSetup.old", install / "VoraSetup.exe");
  log.clear();
  move_running_setup_out();
  EXPECT_TRUE(
      log.contains(spdlog::level::warn, "'" + to_utf8(module) + "' is not the running setup; it stays where it is"));
  EXPECT_TRUE(fs::is_symlink(install / "VoraSetup.exe"));
#endif

  fs::remove(elsewhere, ignored);
  fs::remove_all(elsewhere, ignored);
  fs::remove_all(install.parent_path() / "Downloads.away", ignored);
  fs::remove_all(install, ignored);
}

}  // namespace
}  // namespace vora
