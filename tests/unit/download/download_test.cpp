#include "download/download.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diagnostics/directories.h"
#include "download/placement.h"
#include "fake_cdn.h"
#include "test_support.h"

namespace vora {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class DownloadProgramFile : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(install_directory());
    for (const auto& entry : fs::directory_iterator(install_directory())) fs::remove_all(entry.path());
  }
  test::fake_system system;
  test::fake_cdn cdn;
  test::captured_log log;
};

TEST_F(DownloadProgramFile, PlacesServedFileHeldOpenUnderItsFinalName) {
  cdn.serve(L"VoraService.exe", "MZ service bytes");
  std::wstring final_path;
  held_image held;
  ASSERT_TRUE(download_program_file(L"VoraService.exe", final_path, held, std::nullopt, true));

  const fs::path expected = install_directory() / L"VoraService.exe";
  EXPECT_EQ(final_path, expected.wstring());
  EXPECT_FALSE(fs::exists(install_directory() / L"VoraService.exe.download"));
  EXPECT_NE(held.handle, nullptr);
  EXPECT_NE(held.handle, INVALID_HANDLE_VALUE);
  std::error_code ec;
  EXPECT_TRUE(is_same_file(held.path, final_path, ec));
  held.dispose();
  EXPECT_EQ(read_all(expected), "MZ service bytes");
  EXPECT_EQ(cdn.requests, std::vector<std::wstring>{L"VoraService.exe"});
  EXPECT_EQ(cdn.open_internet_handles(), 0);
  EXPECT_EQ(cdn.open_crypt_objects(), 0);
}

}  // namespace
}  // namespace vora
