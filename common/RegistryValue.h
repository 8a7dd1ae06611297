// RegistryValue.h -- reading string values under the component's one rule for them.
#pragma once

#include <windows.h>

// Reads a string value into `buffer` (`*size` bytes; on return the bytes stored). The value must
// be REG_SZ or REG_EXPAND_SZ (used unexpanded) and its data must end with a NUL: anything else
// fails with ERROR_INVALID_DATA. A buffer too small gives ERROR_MORE_DATA, as the registry does.
LONG QueryStringValue(HKEY key, const char* name, char* buffer, DWORD* size);
