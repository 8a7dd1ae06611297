// AnsiText.h -- converting between narrow ANSI-code-page text and wide strings.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

// A new BSTR holding `text` widened with the ANSI code page; null when it cannot be allocated.
BSTR AllocBstrFromAnsi(const char* text);

// `text` narrowed with the ANSI code page (empty for null).
std::string AnsiFromWide(const WCHAR* text);
