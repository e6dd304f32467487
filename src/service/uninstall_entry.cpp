#include "service/uninstall_entry.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <string>

#include "service/machine_registry.h"

namespace vora {
namespace {

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
    if (const LSTATUS error = set_text_value(key, name, text)) return error;
  }
  const std::pair<const wchar_t*, DWORD> numbers[] = {
      {L"VersionMajor", entry.release[0]},
      {L"VersionMinor", entry.release[1]},
      {L"EstimatedSize", static_cast<DWORD>(kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : kib)},
      {L"NoModify", 1},
      {L"NoRepair", 1},
  };
  for (const auto& [name, number] : numbers) {
    if (const LSTATUS error = set_number_value(key, name, number)) return error;
  }
  return 0;
}

}  // namespace

outcome write_uninstall_entry(const uninstall_entry& entry) {
  const auto failed = [](LSTATUS error) {
    return fail_on_error(error, "Failed to register Vora with Apps & features (Error: {})");
  };
  // An earlier entry's values (a SystemComponent that hides it, say) must
  // not outlive the write.
  if (const LSTATUS error = delete_machine_key(uninstall_entry_key)) return failed(error);
  platform::scoped_registry_key key;
  LSTATUS error = create_machine_key(uninstall_entry_key, key);
  if (error != 0) return failed(error);
  error = write_values(key.get(), entry);
  if (error == 0) return std::nullopt;
  // Half an entry could name a command without the rest.
  delete_machine_key(uninstall_entry_key);
  return failed(error);
}

outcome remove_uninstall_entry() {
  return fail_on_error(delete_machine_key(uninstall_entry_key),
                       "Failed to remove the Apps & features entry (Error: {})");
}

}  // namespace vora
