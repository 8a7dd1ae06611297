// timefmt.cpp -- local time, tick count, and date and time formatting with Win32 pictures.
#include "Win32Error.h"

#include <time.h>

#include <string>

namespace {

const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kDayAbbreviations[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
const char* const kMonthAbbreviations[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum class Picture { Date, Time };

SYSTEMTIME SystemTimeOf(const tm& fields, long nanoseconds) {
    SYSTEMTIME result;
    result.wYear = static_cast<WORD>(fields.tm_year + 1900);
    result.wMonth = static_cast<WORD>(fields.tm_mon + 1);
    result.wDayOfWeek = static_cast<WORD>(fields.tm_wday);
    result.wDay = static_cast<WORD>(fields.tm_mday);
    result.wHour = static_cast<WORD>(fields.tm_hour);
    result.wMinute = static_cast<WORD>(fields.tm_min);
    result.wSecond = static_cast<WORD>(fields.tm_sec);
    result.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
    return result;
}

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The range a FILETIME can hold, which is what Windows accepts.
bool IsValidDate(const SYSTEMTIME& time) {
    return time.wYear >= 1601 && time.wYear <= 30827 && time.wMonth >= 1 && time.wMonth <= 12 && time.wDay >= 1 &&
           time.wDay <= DaysInMonth(time.wYear, time.wMonth);
}

bool IsValidTime(const SYSTEMTIME& time) {
    return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

// Computed, not taken from wDayOfWeek, which Windows ignores too.
unsigned DayOfWeek(unsigned year, unsigned month, unsigned day) {
    static const unsigned kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
}

void AppendNumber(std::string& out, unsigned value, bool twoDigits) {
    if (twoDigits && value < 10) out += '0';
    out += std::to_string(value);
}

bool IsKnownLocale(LCID locale) {
    return locale == LOCALE_SYSTEM_DEFAULT || locale == LOCALE_USER_DEFAULT || locale == LOCALE_INVARIANT ||
           locale == 0x0409 || locale == 0;
}

// Expands `picture`. Letters of the other kind (time letters in a date picture and the
// reverse) are copied as they are, as Windows does.
std::string Expand(Picture kind, const SYSTEMTIME& time, const char* picture) {
    std::string out;
    for (const char* p = picture; *p;) {
        char c = *p;
        if (c == '\'') {
            for (++p; *p; ++p) {
                if (*p == '\'') {
                    if (p[1] != '\'') {
                        ++p;
                        break;
                    }
                    ++p;  // '' inside quotes: one quote
                }
                out += *p;
            }
            continue;
        }
        size_t count = 1;
        while (p[count] == c) ++count;
        if (kind == Picture::Date && (c == 'd' || c == 'M' || c == 'y' || c == 'g')) {
            if (c == 'd') {
                if (count > 4) count = 4;
                if (count <= 2) {
                    AppendNumber(out, time.wDay, count == 2);
                } else {
                    unsigned weekday = DayOfWeek(time.wYear, time.wMonth, time.wDay);
                    out += count == 3 ? kDayAbbreviations[weekday] : kDayNames[weekday];
                }
            } else if (c == 'M') {
                if (count > 4) count = 4;
                if (count <= 2) {
                    AppendNumber(out, time.wMonth, count == 2);
                } else {
                    out += count == 3 ? kMonthAbbreviations[time.wMonth - 1] : kMonthNames[time.wMonth - 1];
                }
            } else if (c == 'y') {
                if (count <= 2) {
                    AppendNumber(out, time.wYear % 100, count == 2);
                } else {
                    out += std::to_string(time.wYear);
                }
            } else {
                if (count > 2) count = 2;
                out += "A.D.";
            }
            p += count;
            continue;
        }
        if (kind == Picture::Time && (c == 'h' || c == 'H' || c == 'm' || c == 's' || c == 't')) {
            if (count > 2) count = 2;  // "hhh" is "hh" then "h"
            switch (c) {
            case 'h': AppendNumber(out, time.wHour % 12 == 0 ? 12 : time.wHour % 12, count == 2); break;
            case 'H': AppendNumber(out, time.wHour, count == 2); break;
            case 'm': AppendNumber(out, time.wMinute, count == 2); break;
            case 's': AppendNumber(out, time.wSecond, count == 2); break;
            default: out += count == 1 ? (time.wHour < 12 ? "A" : "P") : (time.wHour < 12 ? "AM" : "PM"); break;
            }
            p += count;
            continue;
        }
        out += c;
        ++p;
    }
    return out;
}

int Format(Picture kind, LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR picture, LPSTR out, int size) {
    if (size < 0 || (size > 0 && !out)) return kvposix::FailWith(ERROR_INVALID_PARAMETER, 0);
    if (!IsKnownLocale(locale)) return kvposix::FailWith(ERROR_INVALID_PARAMETER, 0);
    DWORD extra = flags & ~LOCALE_NOUSEROVERRIDE;
    const char* chosen = picture;
    if (kind == Picture::Date) {
        const bool badFlags = picture ? extra != 0
                                      : (extra & ~(DATE_SHORTDATE | DATE_LONGDATE)) != 0 ||
                                            extra == (DATE_SHORTDATE | DATE_LONGDATE);
        if (badFlags) return kvposix::FailWith(ERROR_INVALID_FLAGS, 0);
        if (!picture) chosen = extra == DATE_LONGDATE ? "dddd, MMMM d, yyyy" : "M/d/yyyy";
    } else {
        if (extra != 0) return kvposix::FailWith(ERROR_INVALID_FLAGS, 0);
        if (!picture) chosen = "h:mm:ss tt";
    }

    SYSTEMTIME when;
    if (time) {
        when = *time;
        if (kind == Picture::Date ? !IsValidDate(when) : !IsValidTime(when)) {
            return kvposix::FailWith(ERROR_INVALID_PARAMETER, 0);
        }
    } else {
        GetLocalTime(&when);
    }

    std::string text;
    try {
        text = Expand(kind, when, chosen);
    } catch (const std::bad_alloc&) {
        return kvposix::FailWith(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    const int needed = static_cast<int>(text.size() + 1);
    if (size == 0) return needed;
    if (size < needed) return kvposix::FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
    memcpy(out, text.c_str(), text.size() + 1);
    return needed;
}

ULONGLONG Milliseconds(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

}  // namespace

KVAPI void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm fields;
    localtime_r(&now.tv_sec, &fields);
    *lpSystemTime = SystemTimeOf(fields, now.tv_nsec);
}

KVAPI void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm fields;
    gmtime_r(&now.tv_sec, &fields);
    *lpSystemTime = SystemTimeOf(fields, now.tv_nsec);
}

// Windows counts from boot, sleep included: CLOCK_BOOTTIME.
KVAPI ULONGLONG GetTickCount64(void) { return Milliseconds(CLOCK_BOOTTIME); }

KVAPI DWORD GetTickCount(void) { return static_cast<DWORD>(Milliseconds(CLOCK_BOOTTIME)); }

KVAPI int GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCSTR lpFormat, LPSTR lpDateStr,
                         int cchDate) {
    return Format(Picture::Date, Locale, dwFlags, lpDate, lpFormat, lpDateStr, cchDate);
}

KVAPI int GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCSTR lpFormat, LPSTR lpTimeStr,
                         int cchTime) {
    return Format(Picture::Time, Locale, dwFlags, lpTime, lpFormat, lpTimeStr, cchTime);
}
