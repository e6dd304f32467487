// Keys of the program's own under HKEY_LOCAL_MACHINE, always in the 64-bit
// view: that is where Windows and its tools look, whatever build runs.
#pragma once

#include <optional>
#include <string>

#include "platform/scoped.h"

namespace vora {

// Creates the key, or opens it when it exists, for setting values.
LSTATUS create_machine_key(const wchar_t* path, platform::scoped_registry_key& key);

// Opens an existing key for reading its values.
LSTATUS open_machine_key(const wchar_t* path, platform::scoped_registry_key& key);

// Reads the REG_SZ value name of the key at path, of at most capacity
// characters. A missing key or value is true with nothing; a value of
// another type or size is false with ERROR_INVALID_DATA; otherwise false
// with the registry's code.
bool read_machine_text(const wchar_t* path, const wchar_t* name, std::size_t capacity, std::optional<std::wstring>& out,
                       LSTATUS& error);

LSTATUS set_text_value(HKEY key, const wchar_t* name, const std::wstring& text);
LSTATUS set_number_value(HKEY key, const wchar_t* name, DWORD number);

// Deletes the key; one that is not there counts as deleted.
LSTATUS delete_machine_key(const wchar_t* path);

}  // namespace vora
