// The HTTP stage of download_program_file alone: one GET streamed into a
// file through the program's own fetch_to_stream. Prints "name: value" lines.
// Usage: bench_fetch.exe URL OUTPUT_PATH
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "bench_clock.h"
#include "download/download.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_fetch URL OUTPUT_PATH\n");
    return 2;
  }
  const double start = vora::bench::now_seconds();
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  std::string error;
  const bool ok = out && vora::fetch_to_stream(argv[1], out, error);
  out.close();
  const double seconds = vora::bench::now_seconds() - start;
  DeleteFileW(argv[2]);
  if (!ok) {
    std::fprintf(stderr, "fetch failed: %s\n", error.c_str());
    return 1;
  }
  std::printf("seconds: %.3f\n", seconds);
  return 0;
}
