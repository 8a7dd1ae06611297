// messages.h -- the system's message texts for error codes (FormatMessageA).
//
// Only FORMAT_MESSAGE_FROM_SYSTEM into the caller's buffer: the texts are those Windows gives in
// English for the Win32, Winsock and COM codes this layer and its callers produce, CR LF
// included. An HRESULT of FACILITY_WIN32 reads as its Win32 code, as on Windows. A code without
// a text fails with ERROR_MR_MID_NOT_FOUND; FORMAT_MESSAGE_ALLOCATE_BUFFER, FROM_STRING and
// FROM_HMODULE fail with ERROR_INVALID_PARAMETER. Inserts ("%1") are never expanded: callers
// pass FORMAT_MESSAGE_IGNORE_INSERTS, and without it the text is returned as it stands.
#pragma once

#include <stdarg.h>

#include "kvposix/wintypes.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define ERROR_MR_MID_NOT_FOUND 317L

#ifndef MAKELANGID
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#endif

// Returns the characters written without the terminator; 0 with the last error set on failure
// (ERROR_INSUFFICIENT_BUFFER when the text and its NUL do not fit in nSize characters).
KVAPI DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                           LPSTR lpBuffer, DWORD nSize, va_list* Arguments);
