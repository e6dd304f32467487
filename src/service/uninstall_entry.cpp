#include "service/uninstall_entry.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <string>

#include "platform/system.h"

namespace vora {
namespace {

struct registry_key {
  HKEY key = nullptr;
  ~registry_key() {
    if (key) sys().RegCloseKey(key);
  }
};

LSTATUS set_text(HKEY key, const wchar_t* name, const std::wstring& text) {
  return sys().RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LSTATUS set_number(HKEY key, const wchar_t* name, DWORD number) {
  return sys().RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
}

LSTATUS write_values(HKEY key, const uninstall_entry& entry) {
  const std::wstring directory = entry.install_directory.wstring();
  const std::wstring setup = (entry.install_directory / L"VoraSetup.exe").wstring();
  // Quoted: the path has spaces, and an unquoted one would let
  // "C:\Program.exe" stand in for it.
  const std::wstring uninstall = L"\"" + setup + L"\" /uninstall";
  const std::string version = version_text(entry.release);
  const SYSTEMTIME& day = entry.installed_on;
  const std::uint64_t kib = (entry.installed_bytes + 1023) / 1024;

  const std::pair<const wchar_t*, std::wstring> texts[] = {
      {L"DisplayName", L"Vora Anti-Cheat"},
      {L"Publisher", L"Vora"},
      {L"DisplayVersion", std::wstring(version.begin(), version.end())},
      {L"InstallLocation", directory},
      {L"DisplayIcon", setup + L",0"},
      {L"InstallDate", fmt::format(L"{:04}{:02}{:02}", day.wYear, day.wMonth, day.wDay)},
      {L"UninstallString", uninstall},
      {L"QuietUninstallString", uninstall},
  };
  for (const auto& [name, text] : texts) {
    if (const LSTATUS error = set_text(key, name, text)) return error;
  }
  const std::pair<const wchar_t*, DWORD> numbers[] = {
      {L"VersionMajor", entry.release[0]},
      {L"VersionMinor", entry.release[1]},
      {L"EstimatedSize", static_cast<DWORD>(kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : kib)},
      {L"NoModify", 1},
      {L"NoRepair", 1},
  };
  for (const auto& [name, number] : numbers) {
    if (const LSTATUS error = set_number(key, name, number)) return error;
  }
  return 0;
}

}  // namespace

bool write_uninstall_entry(const uninstall_entry& entry, LSTATUS& error) {
  // An earlier entry's values (a SystemComponent that hides it, say) must
  // not outlive the write.
  if (!remove_uninstall_entry(error)) return false;
  registry_key key;
  error = sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstall_entry_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key.key, nullptr);
  if (error != 0) {
    key.key = nullptr;
    return false;
  }
  error = write_values(key.key, entry);
  if (error == 0) return true;
  // Half an entry could name a command without the rest.
  LSTATUS ignored = 0;
  remove_uninstall_entry(ignored);
  return false;
}

bool remove_uninstall_entry(LSTATUS& error) {
  error = sys().RegDeleteKeyExW(HKEY_LOCAL_MACHINE, uninstall_entry_key, KEY_WOW64_64KEY, 0);
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) error = 0;
  return error == 0;
}

}  // namespace vora
