// ByteText.h -- bytes as wide characters and back, one byte per character, NULs included.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <stddef.h>

#include <string>

// Every byte becomes the character of the same value (what the Windows runtime's C locale does),
// 0x80 and above included; `to` has room for `count` characters.
void WidenBytes(const char* from, size_t count, WCHAR* to);

// The bytes a COM string stands for: each character back to the byte of the same value (one above
// 0xFF, which no byte widens to, becomes '?'), over its whole recorded length. Empty for null.
std::string NarrowBytes(BSTR text);

// A new BSTR of exactly `count` characters, each byte widened to the character of the same value,
// embedded NULs included; null when it cannot be allocated (or `count` is too large for one).
BSTR AllocBstrFromBytes(const char* bytes, size_t count);
