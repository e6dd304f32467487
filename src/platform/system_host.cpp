// Stand-ins for builds without Windows. Calls a host cannot honour fail with
// ERROR_CALL_NOT_IMPLEMENTED; the few with an obvious host meaning (errors,
// time, CPUID, the two known folders) behave like the real ones.
#include <cpuid.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/system.h"

namespace vora::platform {
namespace {

thread_local DWORD last_error = 0;

template <typename Result>
Result not_implemented() {
  last_error = ERROR_CALL_NOT_IMPLEMENTED;
  if constexpr (std::is_same_v<Result, HANDLE>)
    return INVALID_HANDLE_VALUE;
  else
    return Result();
}

// The host stands in for the two known folders with folders under the
// system's temporary directory (or VORA_HOST_ROOT when set).
std::wstring host_folder(const wchar_t* name) {
  const char* root = std::getenv("VORA_HOST_ROOT");
  std::filesystem::path base =
      root ? std::filesystem::path(root) : std::filesystem::temp_directory_path() / "vora-host";
  return (base / name).wstring();
}

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

system_calls default_system_calls() {
  system_calls t;
#define VORA_CALL(result, name, params) t.name = [](auto...) { return not_implemented<result>(); };
#include "platform/system_calls.def"
#undef VORA_CALL

  t.GetLastError = [] { return last_error; };
  t.SetLastError = [](DWORD code) { last_error = code; };
  t.GetTickCount64 = [] {
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  };
  t.GetLocalTime = [](SYSTEMTIME* out) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    out->wYear = static_cast<WORD>(local.tm_year + 1900);
    out->wMonth = static_cast<WORD>(local.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    out->wDay = static_cast<WORD>(local.tm_mday);
    out->wHour = static_cast<WORD>(local.tm_hour);
    out->wMinute = static_cast<WORD>(local.tm_min);
    out->wSecond = static_cast<WORD>(local.tm_sec);
    out->wMilliseconds =
        static_cast<WORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  };
  t.GetCurrentProcessId = [] { return static_cast<DWORD>(::getpid()); };
  t.SHGetKnownFolderPath = [](REFKNOWNFOLDERID folder, DWORD, HANDLE, PWSTR* out) -> HRESULT {
    static const GUID program_files = {0x905E63B6, 0xC1BF, 0x494E, {0xB2, 0x9C, 0x65, 0xB7, 0x32, 0xD3, 0xD2, 0x1A}};
    static const GUID program_data = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
    std::wstring path;
    if (same_guid(folder, program_files))
      path = host_folder(L"Program Files");
    else if (same_guid(folder, program_data))
      path = host_folder(L"ProgramData");
    else
      return static_cast<HRESULT>(0x80070002);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
    auto* copy = static_cast<wchar_t*>(std::calloc(path.size() + 1, sizeof(wchar_t)));
    std::wmemcpy(copy, path.c_str(), path.size());
    *out = copy;
    return 0;
  };
  t.CoTaskMemFree = [](LPVOID memory) { std::free(memory); };
  t.LocalAlloc = [](UINT flags, SIZE_T bytes) -> HLOCAL {
    void* memory = (flags & LPTR) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!memory) last_error = ERROR_NOT_ENOUGH_MEMORY;
    return memory;
  };
  t.LocalFree = [](HLOCAL memory) -> HLOCAL {
    std::free(memory);
    return nullptr;
  };
  // wchar_t holds whole code points here; surrogate values are invalid, as
  // lone surrogates are in UTF-16.
  t.WideCharToMultiByte = [](UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR narrow,
                             int narrow_length, LPCSTR, LPBOOL) -> int {
    if (code_page != CP_UTF8 || !wide) return not_implemented<int>();
    const std::size_t count = wide_length < 0 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wide_length);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
      auto cp = static_cast<std::uint32_t>(wide[i]);
      if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        if (flags & WC_ERR_INVALID_CHARS) {
          last_error = 1113;  // ERROR_NO_UNICODE_TRANSLATION
          return 0;
        }
        cp = 0xFFFD;
      }
      if (cp < 0x80) {
        out += static_cast<char>(cp);
      } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
    if (narrow_length == 0) return static_cast<int>(out.size());
    if (static_cast<std::size_t>(narrow_length) < out.size()) {
      last_error = ERROR_INSUFFICIENT_BUFFER;
      return 0;
    }
    std::memcpy(narrow, out.data(), out.size());
    return static_cast<int>(out.size());
  };
  t.cpuid = [](std::uint32_t leaf, std::uint32_t subleaf) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    return std::array<std::uint32_t, 4>{a, b, c, d};
  };
  t.sleep_ms = [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  t.exit_process = [](int code) { std::exit(code); };
  return t;
}

}  // namespace vora::platform
