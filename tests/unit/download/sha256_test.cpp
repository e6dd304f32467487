#include "download/sha256.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "download/verify.h"
#include "platform/system.h"

namespace vora {
namespace {

using impl = sha256::implementation;

std::string hash_of(impl which, const std::string& message) {
  sha256 hasher(which);
  hasher.update(message.data(), message.size());
  return to_hex(hasher.finish());
}

struct vector_case {
  std::string message;
  std::string digest;
};

std::vector<vector_case> nist_vectors() {
  return {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrst"
       "u",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

void skip_without_sha_extensions() {
  if (!sha256::sha_extensions_available()) GTEST_SKIP() << "this processor has no SHA extensions";
}

TEST(Sha256, PortablePathMatchesNistVectors) {
  for (const auto& v : nist_vectors()) EXPECT_EQ(hash_of(impl::portable, v.message), v.digest) << v.message.size();
}

TEST(Sha256, ShaExtensionsPathMatchesNistVectors) {
  skip_without_sha_extensions();
  ASSERT_EQ(sha256(impl::sha_extensions).which(), impl::sha_extensions);
  for (const auto& v : nist_vectors())
    EXPECT_EQ(hash_of(impl::sha_extensions, v.message), v.digest) << v.message.size();
}

// Messages around the block and padding boundaries: 55 bytes still fit the
// length in their block, 56 do not.
TEST(Sha256, PaddingBoundariesOnBothPaths) {
  const std::pair<std::size_t, const char*> cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const auto& [length, digest] : cases) {
    EXPECT_EQ(hash_of(impl::portable, std::string(length, 'a')), digest) << length;
    if (sha256::sha_extensions_available()) {
      EXPECT_EQ(hash_of(impl::sha_extensions, std::string(length, 'a')), digest) << length;
    }
  }
}

TEST(Sha256, MillionAFedOneByteAtATime) {
  sha256 hasher(impl::portable);
  for (int i = 0; i < 1000000; ++i) hasher.update("a", 1);
  EXPECT_EQ(to_hex(hasher.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Random messages cut into random pieces: every split must give the digest of
// the whole, and both paths must agree.
TEST(Sha256, ChunkedInputAgreesWithWholeInputAndAcrossPaths) {
  const bool compare_paths = sha256::sha_extensions_available();
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 300; ++round) {
    const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 4096)(random);
    std::string message(length, '\0');
    for (auto& c : message) c = static_cast<char>(byte(random));
    const std::string whole = hash_of(impl::portable, message);

    sha256 portable(impl::portable);
    sha256 extensions(impl::sha_extensions);
    for (std::size_t at = 0; at < length;) {
      const std::size_t piece = std::min(length - at, std::uniform_int_distribution<std::size_t>(0, 150)(random));
      portable.update(message.data() + at, piece);
      extensions.update(message.data() + at, piece);
      at += piece;
    }
    ASSERT_EQ(to_hex(portable.finish()), whole) << "length " << length;
    if (compare_paths) {
      ASSERT_EQ(to_hex(extensions.finish()), whole) << "length " << length;
    }
  }
  if (!compare_paths) GTEST_SKIP() << "this processor has no SHA extensions; only the portable path was checked";
}

TEST(Sha256, FinishStartsANewMessage) {
  sha256 hasher(impl::portable);
  hasher.update("garbage", 7);
  hasher.finish();
  hasher.update("abc", 3);
  EXPECT_EQ(to_hex(hasher.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// CPUID: leaf 0 EAX = highest leaf, leaf 1 ECX bits 9 (SSSE3) and 19
// (SSE4.1), leaf 7 EBX bit 29 (SHA).
struct fake_processor {
  std::uint32_t highest_leaf = 7;
  std::uint32_t leaf1_ecx = (1u << 9) | (1u << 19);
  std::uint32_t leaf7_ebx = 1u << 29;
};

void install(const fake_processor& cpu) {
  sys().cpuid = [cpu](std::uint32_t leaf, std::uint32_t) -> std::array<std::uint32_t, 4> {
    if (leaf == 0) return {cpu.highest_leaf, 0, 0, 0};
    if (leaf == 1) return {0, 0, cpu.leaf1_ecx, 0};
    if (leaf == 7) return {0, cpu.leaf7_ebx, 0, 0};
    return {0, 0, 0, 0};
  };
}

TEST(Sha256, ChoosesThePathFromCpuid) {
  platform::scoped_system_calls restore;
  fake_processor cpu;
  install(cpu);
  EXPECT_TRUE(sha256::sha_extensions_available());

  fake_processor no_sha = cpu;
  no_sha.leaf7_ebx = ~(1u << 29);
  install(no_sha);
  EXPECT_FALSE(sha256::sha_extensions_available());
  EXPECT_EQ(sha256().which(), impl::portable);
  EXPECT_EQ(sha256(impl::sha_extensions).which(), impl::portable);

  fake_processor no_sse41 = cpu;
  no_sse41.leaf1_ecx = 1u << 9;
  install(no_sse41);
  EXPECT_FALSE(sha256::sha_extensions_available());

  fake_processor no_ssse3 = cpu;
  no_ssse3.leaf1_ecx = 1u << 19;
  install(no_ssse3);
  EXPECT_FALSE(sha256::sha_extensions_available());

  fake_processor old = cpu;
  old.highest_leaf = 6;
  install(old);
  EXPECT_FALSE(sha256::sha_extensions_available());
}

TEST(Sha256, DefaultUsesExtensionsWhenTheProcessorHasThem) {
  skip_without_sha_extensions();
  EXPECT_EQ(sha256().which(), impl::sha_extensions);
}

}  // namespace
}  // namespace vora

namespace vora {
namespace {

// Measurement, not a check: run with --gtest_also_run_disabled_tests.
TEST(Sha256, DISABLED_ThroughputOneGibibyte) {
  std::vector<std::uint8_t> chunk(65536);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i * 131);
  for (const impl which : {impl::portable, impl::sha_extensions}) {
    sha256 hasher(which);
    if (hasher.which() != which) continue;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 16384; ++i) hasher.update(chunk.data(), chunk.size());
    const auto digest = to_hex(hasher.finish());
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("%s: %.1f MB/s (%s)\n", which == impl::portable ? "portable" : "sha-extensions",
                1073741824.0 / 1e6 / seconds.count(), digest.c_str());
  }
}

// Measurement of sha256_file on a file named by VORA_SHA256_BENCH_FILE.
TEST(Sha256, DISABLED_ThroughputOfAFile) {
  const char* name = std::getenv("VORA_SHA256_BENCH_FILE");
  if (!name) GTEST_SKIP() << "VORA_SHA256_BENCH_FILE is not set";
  const std::wstring path = std::filesystem::path(name).wstring();
  const HANDLE file =
      sys().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  ASSERT_TRUE(sys().GetFileSizeEx(file, &size));
  const auto start = std::chrono::steady_clock::now();
  std::string digest;
  ASSERT_TRUE(sha256_file(file, digest));
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  sys().CloseHandle(file);
  std::printf("sha256_file: %.3f s, %.1f MB/s (%s)\n", seconds.count(),
              static_cast<double>(size.QuadPart) / 1e6 / seconds.count(), digest.c_str());
}

}  // namespace
}  // namespace vora
