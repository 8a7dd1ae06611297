// TimeTests.cpp -- local time, and date and time formatting with pictures.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

std::string Date(const SYSTEMTIME& time, const char* picture) {
    char text[128] = {};
    int written = GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, picture, text, sizeof(text));
    return written > 0 ? std::string(text) : "<failed " + std::to_string(GetLastError()) + ">";
}

std::string Time(const SYSTEMTIME& time, const char* picture) {
    char text[128] = {};
    int written = GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, picture, text, sizeof(text));
    return written > 0 ? std::string(text) : "<failed " + std::to_string(GetLastError()) + ">";
}

}  // namespace

// The log's date picture: month and day without leading zeros, two-digit year, literal slashes.
TEST(TimeFormat, DatePictureElements) {
    SYSTEMTIME march = At(2024, 3, 5, 0, 0, 0);
    EXPECT_EQ("3/5/24", Date(march, "M'/'d'/'yy"));
    EXPECT_EQ("05.03.2024", Date(march, "dd'.'MM'.'yyyy"));
    EXPECT_EQ("12/25/09", Date(At(2009, 12, 25, 0, 0, 0), "MM'/'dd'/'yy"));
    EXPECT_EQ("2024-03-05", Date(march, "yyyy-MM-dd")) << "unquoted punctuation is copied";
}

// The log's time picture: 24-hour fields with leading zeros; single letters drop them, and
// h counts 12-hour time.
TEST(TimeFormat, TimePictureElements) {
    SYSTEMTIME afternoon = At(2024, 3, 5, 13, 4, 9);
    EXPECT_EQ("13:04:09", Time(afternoon, "HH':'mm':'ss"));
    EXPECT_EQ("1:4:9", Time(afternoon, "h':'m':'s"));
    EXPECT_EQ("01", Time(afternoon, "hh"));
    EXPECT_EQ("12", Time(At(2024, 3, 5, 0, 30, 0), "h")) << "midnight is 12 on the 12-hour clock";
    EXPECT_EQ("0", Time(At(2024, 3, 5, 0, 30, 0), "H"));
}

// Quoted text is literal; two quotes inside a quoted text give one quote.
TEST(TimeFormat, QuotedLiterals) {
    SYSTEMTIME time = At(2024, 3, 5, 13, 4, 9);
    EXPECT_EQ("day d is 5", Date(time, "'day d is 'd"));
    EXPECT_EQ("it's 13", Time(time, "'it''s 'H"));
    EXPECT_EQ("at 13h", Time(time, "'at 'H'h'"));
}

// Without a time, the current local time is used: the same fields GetLocalTime gives.
TEST(TimeFormat, NullTimeMeansNow) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        SYSTEMTIME before;
        GetLocalTime(&before);
        char date[64] = {};
        char time[64] = {};
        ASSERT_GT(GetDateFormatA(LOCALE_USER_DEFAULT, 0, nullptr, "yyyy'-'M'-'d", date, sizeof(date)), 0);
        ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, "H':'m':'s", time, sizeof(time)), 0);
        SYSTEMTIME after;
        GetLocalTime(&after);
        if (before.wSecond != after.wSecond) continue;  // a second boundary passed: try again
        EXPECT_EQ(std::to_string(after.wYear) + "-" + std::to_string(after.wMonth) + "-" + std::to_string(after.wDay),
                  date);
        EXPECT_EQ(std::to_string(after.wHour) + ":" + std::to_string(after.wMinute) + ":" +
                      std::to_string(after.wSecond),
                  time);
        EXPECT_GE(after.wMonth, 1);
        EXPECT_LE(after.wMonth, 12);
        EXPECT_LT(after.wMilliseconds, 1000);
        return;
    }
    ADD_FAILURE() << "the clock never stood still for a second";
}

// The result counts the terminator; size 0 asks for the size; a short buffer fails.
TEST(TimeFormat, SizeRules) {
    SYSTEMTIME time = At(2024, 3, 5, 13, 4, 9);
    EXPECT_EQ(7, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, "M'/'d'/'yy", nullptr, 0));
    char text[7];
    EXPECT_EQ(7, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, "M'/'d'/'yy", text, sizeof(text)));
    EXPECT_STREQ("3/5/24", text);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, "M'/'d'/'yy", text, 6));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(9, GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, "HH':'mm':'ss", nullptr, 0));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &time, "HH':'mm':'ss", text, 7));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

// Impossible dates and times, and flags beside a picture, are refused.
TEST(TimeFormat, InvalidInputIsRefused) {
    char text[32];
    SYSTEMTIME bad = At(2024, 13, 1, 0, 0, 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &bad, "M/d", text, sizeof(text)));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SYSTEMTIME leap = At(2024, 2, 29, 0, 0, 0);
    EXPECT_EQ(5, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &leap, "M/d", text, sizeof(text))) << "a leap day";
    bad = At(2024, 1, 1, 24, 0, 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &bad, "H", text, sizeof(text)));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SYSTEMTIME good = At(2024, 1, 1, 0, 0, 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &good, "M/d", text, sizeof(text)));
    EXPECT_EQ(DWORD(ERROR_INVALID_FLAGS), GetLastError());
}
