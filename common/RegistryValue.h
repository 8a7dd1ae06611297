// RegistryValue.h -- reading string values under the component's one rule for them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Reads a string value into `buffer` (`*size` bytes; on return the bytes stored). The value must
// be REG_SZ or REG_EXPAND_SZ (used unexpanded) and its data must end with a NUL: anything else
// fails with ERROR_INVALID_DATA. A buffer too small gives ERROR_MORE_DATA, as the registry does.
LONG QueryStringValue(HKEY key, const char* name, char* buffer, DWORD* size);

// The non-empty elements of a comma-separated value such as "ports" or "listen": runs of commas
// leave no empty element, and blanks are kept as they stand.
std::vector<std::string> ListElements(const std::string& list);

// A usable "ports" entry: a whole number from 0 to 65535 in decimal digits. Anything else -- a
// service name, a sign, a blank, a number the system would silently wrap -- is not.
bool IsPortNumber(const std::string& text);
