// UtcTime.cpp -- formatting a moment as the entries' UTC text.
#include "UtcTime.h"

#include <stdio.h>
#include <time.h>

#include <chrono>

namespace {

std::string Text(long long unixMicroseconds) {
    time_t seconds = static_cast<time_t>(unixMicroseconds / 1000000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<long>(unixMicroseconds % 1000000));
    return text;
}

}  // namespace

namespace UtcTime {

std::string Now() {
    using namespace std::chrono;
    return Text(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

std::string Of(const FILETIME& time) {
    const long long ticks = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return Text((ticks - 116444736000000000LL) / 10);  // 100 ns since 1601 to microseconds since 1970
}

}  // namespace UtcTime
