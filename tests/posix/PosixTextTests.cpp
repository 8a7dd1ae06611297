// PosixTextTests.cpp -- what only the POSIX layer's text and COM pieces do: 32-bit wide units,
// the English names and defaults of its one locale, strict validation, apartment types.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "PosixCoreTestSupport.h"
#include "TestSupport.h"

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

std::string Date(const SYSTEMTIME& time, const char* picture, DWORD flags = 0) {
    char text[128] = {};
    int written = GetDateFormatA(LOCALE_USER_DEFAULT, flags, &time, picture, text, sizeof(text));
    return written > 0 ? std::string(text) : "<failed " + std::to_string(GetLastError()) + ">";
}

std::string Time(const SYSTEMTIME& time, const char* picture) {
    char text[128] = {};
    int written = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, picture, text, sizeof(text));
    return written > 0 ? std::string(text) : "<failed " + std::to_string(GetLastError()) + ">";
}

}  // namespace

// Child: the apartment types a fresh process sees. 0 when all are as expected, else the step.
KV_TEST_CHILD(core_apartments) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (CoGetApartmentType(&type, &qualifier) != CO_E_NOTINITIALIZED) return 1;
    if (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != S_OK) return 2;
    if (CoGetApartmentType(&type, &qualifier) != S_OK || type != APTTYPE_MAINSTA) return 3;
    static APTTYPE seen;
    static APTTYPEQUALIFIER seenQualifier;
    HANDLE thread = CreateThread(nullptr, 0,
                                 [](LPVOID) -> DWORD {
                                     CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
                                     CoGetApartmentType(&seen, &seenQualifier);
                                     CoUninitialize();
                                     return 0;
                                 },
                                 nullptr, 0, nullptr);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    if (seen != APTTYPE_STA) return 4;  // only the first is the main one
    CoUninitialize();
    HANDLE leave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE mta = CreateThread(nullptr, 0,
                              [](LPVOID event) -> DWORD {
                                  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                                  WaitForSingleObject(static_cast<HANDLE>(event), 10000);
                                  CoUninitialize();
                                  return 0;
                              },
                              leave, 0, nullptr);
    Sleep(200);
    HRESULT implicit = CoGetApartmentType(&type, &qualifier);
    SetEvent(leave);
    WaitForSingleObject(mta, 10000);
    CloseHandle(mta);
    CloseHandle(leave);
    if (implicit != S_OK || type != APTTYPE_MTA || qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA) return 5;
    if (CoGetApartmentType(&type, &qualifier) != CO_E_NOTINITIALIZED) return 6;  // the MTA is gone
    return 0;
}

// Month and day names and the AM/PM marker are English; no picture gives the locale's
// defaults.
TEST(PosixTime, EnglishNamesAndDefaultPictures) {
    SYSTEMTIME afternoon = At(2024, 3, 5, 13, 4, 9);
    EXPECT_EQ("Tuesday, March 5, 2024", Date(afternoon, "dddd, MMMM d, yyyy"));
    EXPECT_EQ("Tue Mar", Date(afternoon, "ddd MMM"));
    EXPECT_EQ("3/5/2024", Date(afternoon, nullptr));
    EXPECT_EQ("3/5/2024", Date(afternoon, nullptr, DATE_SHORTDATE));
    EXPECT_EQ("Tuesday, March 5, 2024", Date(afternoon, nullptr, DATE_LONGDATE));
    EXPECT_EQ("1:04:09 PM", Time(afternoon, nullptr));
    EXPECT_EQ("P", Time(afternoon, "t"));
    EXPECT_EQ("12 AM", Time(At(2024, 3, 5, 0, 0, 0), "h tt"));
    EXPECT_EQ("9 24", Date(At(2009, 12, 25, 0, 0, 0), "y") + " " + Date(afternoon, "y")) << "last two digits";
    EXPECT_EQ("5 h", Date(afternoon, "d h")) << "time letters are text in a date";
    EXPECT_EQ("13 d", Time(afternoon, "H d")) << "date letters are text in a time";
}

// What Windows would accept but this layer cannot honour, or what no calendar has, is refused.
TEST(PosixTime, StrictValidation) {
    char text[32];
    SYSTEMTIME notLeap = At(2023, 2, 29, 0, 0, 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetDateFormatA(LOCALE_USER_DEFAULT, 0, &notLeap, "d", text, sizeof(text)));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SYSTEMTIME now = At(2024, 1, 1, 0, 0, 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &now, nullptr, text, sizeof(text)));
    EXPECT_EQ(DWORD(ERROR_INVALID_FLAGS), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, GetDateFormatA(0x0407, 0, &now, "d", text, sizeof(text))) << "a locale it does not know";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

// A wide unit holds a whole code point; surrogate pairs from Windows text join; lone
// surrogates and malformed UTF-8 become U+FFFD or, when asked, fail.
TEST(PosixStrings, Utf8WithThirtyTwoBitUnits) {
    const char smiley[] = "\xF0\x9F\x98\x80";
    WCHAR wide[4] = {};
    ASSERT_EQ(2, MultiByteToWideChar(CP_UTF8, 0, smiley, -1, wide, 4));
    EXPECT_EQ(0x1F600u, static_cast<unsigned>(wide[0]));
    char back[8] = {};
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof(back), nullptr, nullptr));
    EXPECT_STREQ(smiley, back);

    const WCHAR pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, pair, -1, back, sizeof(back), nullptr, nullptr));
    EXPECT_STREQ(smiley, back);
    const WCHAR lone[] = {0xD83D, 'x', 0};
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, lone, -1, back, sizeof(back), nullptr, nullptr));
    EXPECT_STREQ("\xEF\xBF\xBDx", back);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, back, sizeof(back), nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_NO_UNICODE_TRANSLATION), GetLastError());

    EXPECT_EQ(2, MultiByteToWideChar(CP_UTF8, 0, "\xC0\xAF", 2, wide, 4)) << "overlong: each byte replaced";
    EXPECT_EQ(1, MultiByteToWideChar(CP_UTF8, 0, "\xE2\x82", 2, wide, 4)) << "cut short: one replacement";
    EXPECT_EQ(0xFFFDu, static_cast<unsigned>(wide[0]));
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "\xED\xA0\x80", 3, wide, 4)) << "an encoded surrogate";
    EXPECT_EQ(0xFFFDu, static_cast<unsigned>(wide[0]));

    BOOL usedDefault = FALSE;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, pair, -1, back, sizeof(back), nullptr, &usedDefault))
        << "UTF-8 has no default character";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, MultiByteToWideChar(1251, 0, "a", 1, wide, 4)) << "no other code pages";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

// BSTRs count bytes of 4-byte units here, and the layout stays Windows': length, text, zero.
TEST(PosixCom, BstrUnitsAreFourBytes) {
    const OLECHAR source[] = {0x1F600, 'a', 0};
    BSTR text = SysAllocString(source);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(2u, SysStringLen(text));
    EXPECT_EQ(8u, SysStringByteLen(text));
    EXPECT_EQ(0x1F600u, static_cast<unsigned>(text[0]));
    EXPECT_TRUE(SysReAllocStringLen(&text, nullptr, 4)) << "grows, keeping the text";
    EXPECT_EQ(0x1F600u, static_cast<unsigned>(text[0]));
    EXPECT_EQ(static_cast<OLECHAR>('a'), text[1]);
    EXPECT_EQ(0u, static_cast<unsigned>(text[4]));
    SysFreeString(text);
}

// Apartment types: none in a fresh process, the first single-threaded apartment is the main
// one, and a thread without COM belongs to the implicit MTA while another thread is in the MTA.
TEST(PosixCom, ApartmentTypes) { EXPECT_EQ(0u, kvtest::RunChild("core_apartments", "")); }
