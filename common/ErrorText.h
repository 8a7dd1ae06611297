// ErrorText.h -- the system's reason text for a Win32 error code, for log lines.
#pragma once

#include <windows.h>

#include <string>

// "<reason> (<code>)", e.g. "There is not enough space on the disk. (112)"; never empty.
std::string ErrorText(DWORD code);
