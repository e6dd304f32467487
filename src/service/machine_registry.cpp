#include "service/machine_registry.h"

namespace vora {

LSTATUS create_machine_key(const wchar_t* path, platform::scoped_registry_key& key) {
  HKEY created = nullptr;
  const LSTATUS error = sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
  // On failure the out value is not the caller's to close.
  if (error == 0) key.reset(created);
  return error;
}

LSTATUS open_machine_key(const wchar_t* path, platform::scoped_registry_key& key) {
  HKEY opened = nullptr;
  const LSTATUS error = sys().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
  if (error == 0) key.reset(opened);
  return error;
}

LSTATUS set_text_value(HKEY key, const wchar_t* name, const std::wstring& text) {
  return sys().RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LSTATUS set_number_value(HKEY key, const wchar_t* name, DWORD number) {
  return sys().RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
}

LSTATUS delete_machine_key(const wchar_t* path) {
  const LSTATUS error = sys().RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
  return error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND) ? 0 : error;
}

}  // namespace vora
