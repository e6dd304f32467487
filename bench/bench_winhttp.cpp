// The floor for download_program_file: a bare synchronous WinHTTP GET that
// reads the body in 64 KiB pieces and drops it, or with OUTPUT_PATH writes
// each piece there with WriteFile (what the file costs, apart from the
// program's own bookkeeping). Prints "name: value" lines.
// Usage: bench_winhttp.exe URL [OUTPUT_PATH]
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <vector>

#include "bench_clock.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: bench_winhttp URL [OUTPUT_PATH]\n");
    return 2;
  }
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  const double start = vora::bench::now_seconds();
  HANDLE output = argc == 3 ? CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) : nullptr;
  if (output == INVALID_HANDLE_VALUE) return 1;
  HINTERNET session = WinHttpOpen(L"Vora/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr, 0);
  if (session == nullptr || !WinHttpCrackUrl(argv[1], 0, 0, &parts)) return 1;
  HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, nullptr, nullptr,
                                                      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                                 : nullptr;
  unsigned long long total = 0;
  bool ok =
      request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr);
  std::vector<char> buffer(65536);
  while (ok) {
    DWORD read = 0;
    ok = WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read);
    if (!ok || read == 0) break;
    DWORD written = 0;
    if (output && (!WriteFile(output, buffer.data(), read, &written, nullptr) || written != read)) ok = false;
    total += read;
  }
  if (output) {
    CloseHandle(output);
    DeleteFileW(argv[2]);
  }
  const DWORD error = ok ? 0 : GetLastError();
  const double seconds = vora::bench::now_seconds() - start;
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  if (!ok) {
    std::fprintf(stderr, "WinHTTP failed (Error: %lu)\n", error);
    return 1;
  }
  std::printf("bytes: %llu\n", total);
  std::printf("seconds: %.3f\n", seconds);
  return 0;
}
