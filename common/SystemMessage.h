// SystemMessage.h -- error codes as tools print them: 8 hex digits and the system's own text.
#pragma once

#include <windows.h>

#include <string>

// "0x8007007e": a Win32 code or an HRESULT as 8 hex digits, never sign-extended.
std::string HexCode(DWORD code);

// The system's text for the code without its line end; empty when the system has none.
std::string SystemMessage(DWORD code);

// "0x8007007e (The specified module could not be found.)", or only the digits without a text.
std::string DescribeCode(DWORD code);

// For log lines: "<reason> (<code>)", e.g. "There is not enough space on the disk. (112)"; never empty.
std::string ErrorText(DWORD code);
