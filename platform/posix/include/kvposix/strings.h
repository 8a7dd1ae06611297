// strings.h -- code pages: narrow/wide conversion, string lengths.
//
// The ANSI and OEM code pages convert byte for byte: each byte becomes the wide unit of the same
// value, and a unit above 0xFF narrows to the default character ('?' unless given). That is
// what the Windows C runtime's default locale does, and it round-trips every byte. CP_UTF8 is
// real UTF-8; as WCHAR is 32 bits here, a code point is one unit (a UTF-16 surrogate pair given
// as two units is joined when narrowing). Other code pages fail with ERROR_INVALID_PARAMETER.
#pragma once

#include "kvposix/wintypes.h"

#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_MACCP 2u
#define CP_THREAD_ACP 3u
#define CP_UTF8 65001u

#define MB_PRECOMPOSED 0x00000001u
#define MB_COMPOSITE 0x00000002u
#define MB_USEGLYPHCHARS 0x00000004u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_DISCARDNS 0x00000010u
#define WC_SEPCHARS 0x00000020u
#define WC_DEFAULTCHAR 0x00000040u
#define WC_ERR_INVALID_CHARS 0x00000080u
#define WC_COMPOSITECHECK 0x00000200u
#define WC_NO_BEST_FIT_CHARS 0x00000400u

KVAPI UINT GetACP(void);
KVAPI UINT GetOEMCP(void);
// Both return the units written (with cbMultiByte/cchWideChar -1, including the terminator);
// with an output size of 0 they return the size needed.
KVAPI int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                              LPWSTR lpWideCharStr, int cchWideChar);
KVAPI int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                              LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
KVAPI int lstrlenA(LPCSTR lpString);
KVAPI int lstrlenW(LPCWSTR lpString);

#define lstrlen lstrlenA
