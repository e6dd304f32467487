// SHA-256 of one file through sha256_file (which picks the SHA extensions
// when present) and through the portable block function with the same
// 64 KiB read loop. Prints "name: value" lines.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "download/sha256.h"
#include "download/verify.h"

namespace {

HANDLE open_for_reading(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

bool portable_sha256(HANDLE file, std::string& out) {
  vora::sha256 hasher(vora::sha256::implementation::portable);
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
    if (read == 0) break;
    hasher.update(buffer.data(), read);
  }
  out = vora::to_hex(hasher.finish());
  return true;
}

template <typename Hash>
bool timed(const wchar_t* path, Hash hash, std::string& digest, double& seconds) {
  HANDLE file = open_for_reading(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  const double start = vora::bench::now_seconds();
  const bool ok = hash(file, digest);
  seconds = vora::bench::now_seconds() - start;
  CloseHandle(file);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_sha256 FILE\n");
    return 2;
  }
  std::string fast_digest, portable_digest;
  double fast_seconds = 0, portable_seconds = 0;
  if (!timed(argv[1], vora::sha256_file, fast_digest, fast_seconds) ||
      !timed(argv[1], portable_sha256, portable_digest, portable_seconds)) {
    std::fprintf(stderr, "cannot hash the file (Error: %lu)\n", GetLastError());
    return 1;
  }
  std::printf("sha_extensions_available: %d\n", vora::sha256::sha_extensions_available() ? 1 : 0);
  std::printf("sha256_file_digest: %s\n", fast_digest.c_str());
  std::printf("portable_digest: %s\n", portable_digest.c_str());
  std::printf("sha256_file_seconds: %.3f\n", fast_seconds);
  std::printf("portable_seconds: %.3f\n", portable_seconds);
  return fast_digest == portable_digest ? 0 : 1;
}
