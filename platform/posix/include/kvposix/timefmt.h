// timefmt.h -- local time, tick count, and date and time formatting with Win32 pictures.
//
// Formatting knows one locale, English (United States), which is what every locale identifier
// accepted here (LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LOCALE_INVARIANT, 0x0409) gives.
// Pictures: d dd ddd dddd M MM MMM MMMM y yy yyyy g gg for dates; h hh H HH m mm s ss t tt for
// times; '...' quotes literal text and '' inside quotes gives one quote. With no picture, the
// locale's short date "M/d/yyyy" (or long date "dddd, MMMM d, yyyy") and time "h:mm:ss tt" are
// used. Flags other than LOCALE_NOUSEROVERRIDE, and DATE_SHORTDATE/DATE_LONGDATE without a
// picture, fail with ERROR_INVALID_FLAGS.
#pragma once

#include "kvposix/wintypes.h"

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// 100-nanosecond intervals since January 1, 1601 (UTC).
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#define LOCALE_INVARIANT 0x007Fu
#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_NOUSEROVERRIDE 0x80000000u
#define DATE_SHORTDATE 0x00000001u
#define DATE_LONGDATE 0x00000002u
#define TIME_NOMINUTESORSECONDS 0x00000001u
#define TIME_NOSECONDS 0x00000002u
#define TIME_NOTIMEMARKER 0x00000004u
#define TIME_FORCE24HOURFORMAT 0x00000008u

KVAPI void GetLocalTime(LPSYSTEMTIME lpSystemTime);
KVAPI void GetSystemTime(LPSYSTEMTIME lpSystemTime);
// Milliseconds since the system started (sleep included), wrapping like Windows' count.
KVAPI DWORD GetTickCount(void);
KVAPI ULONGLONG GetTickCount64(void);

// Both return the characters written including the terminator; with cchOut 0 they return the
// size needed and write nothing. A null time means now.
KVAPI int GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCSTR lpFormat, LPSTR lpDateStr,
                         int cchDate);
KVAPI int GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCSTR lpFormat, LPSTR lpTimeStr,
                         int cchTime);

#define GetDateFormat GetDateFormatA
#define GetTimeFormat GetTimeFormatA
