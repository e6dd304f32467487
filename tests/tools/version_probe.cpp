// Test helper: reads each file's version resource twice, with Wine's own
// GetFileVersionInfoW/VerQueryValueW and with the setup's parser, and prints
// one line per file:
//   <path>\t<wine: none | file version, product version, OriginalFilename>\t<ours: the same, or "refused: why">
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "download/version_resource.h"

namespace {

// Paths and names as UTF-8, nothing escaped: the test matches them exactly.
std::string narrow(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), size, nullptr, nullptr);
  return out;
}

std::string parts(DWORD ms, DWORD ls) {
  return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." + std::to_string(HIWORD(ls)) + "." +
         std::to_string(LOWORD(ls));
}

std::string wine_answer(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return "none";
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path, 0, size, info.data())) return "none";
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof(*fixed))
    return "none";
  std::string out = parts(fixed->dwFileVersionMS, fixed->dwFileVersionLS) + " " +
                    parts(fixed->dwProductVersionMS, fixed->dwProductVersionLS) + " ";
  WORD* translation = nullptr;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < 4)
    return out + "(no translation)";
  wchar_t query[64];
  swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\OriginalFilename", translation[0], translation[1]);
  wchar_t* name = nullptr;
  if (!VerQueryValueW(info.data(), query, reinterpret_cast<void**>(&name), &length)) return out + "(no name)";
  return out + narrow(name);
}

std::string our_answer(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  std::string error;
  const auto found = vora::read_version_resource(image, error);
  if (!found) return "refused: " + error;
  return vora::version_text(found->file_version) + " " + vora::version_text(found->product_version) + " " +
         narrow(std::wstring(found->original_filename.begin(), found->original_filename.end()));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i)
    std::printf("%s\t%s\t%s\n", narrow(argv[i]).c_str(), wine_answer(argv[i]).c_str(), our_answer(argv[i]).c_str());
  return 0;
}
