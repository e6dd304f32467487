// Keys of the program's own under HKEY_LOCAL_MACHINE, always in the 64-bit
// view: that is where Windows and its tools look, whatever build runs.
#pragma once

#include <string>

#include "platform/scoped.h"

namespace vora {

// Creates the key, or opens it when it exists, for setting values.
LSTATUS create_machine_key(const wchar_t* path, platform::scoped_registry_key& key);

// Opens an existing key for reading its values.
LSTATUS open_machine_key(const wchar_t* path, platform::scoped_registry_key& key);

LSTATUS set_text_value(HKEY key, const wchar_t* name, const std::wstring& text);
LSTATUS set_number_value(HKEY key, const wchar_t* name, DWORD number);

// Deletes the key; one that is not there counts as deleted.
LSTATUS delete_machine_key(const wchar_t* path);

}  // namespace vora
