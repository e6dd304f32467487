#include "service/machine_registry.h"

#include <algorithm>

#include "platform/system.h"

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

bool read_machine_text(const wchar_t* path, const wchar_t* name, std::size_t capacity, std::optional<std::wstring>& out,
                       LSTATUS& error) {
  out.reset();
  platform::scoped_registry_key key;
  error = open_machine_key(path, key);
  if (error == 0) {
    // One character more than allowed, so a longer value shows as one.
    std::wstring data(capacity + 2, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    error = sys().RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size);
    if (error == static_cast<LSTATUS>(ERROR_MORE_DATA)) error = static_cast<LSTATUS>(ERROR_INVALID_DATA);
    if (error == 0) {
      data.resize(std::min<std::size_t>(size / sizeof(wchar_t), data.size()));
      while (!data.empty() && data.back() == L'\0') data.pop_back();
      if (type != REG_SZ || data.size() > capacity || data.find(L'\0') != std::wstring::npos) {
        error = static_cast<LSTATUS>(ERROR_INVALID_DATA);
        return false;
      }
      out = std::move(data);
      return true;
    }
  }
  if (error == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) error = 0;
  return error == 0;
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
