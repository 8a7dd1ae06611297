// StringsTests.cpp -- code pages: byte-for-byte ANSI, UTF-8, lengths.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

// The ANSI code page is 1252, as the component expects.
TEST(StringsCodePage, AnsiCodePageIs1252) { EXPECT_EQ(1252u, GetACP()); }

// ANSI to wide: each byte becomes the unit of the same value; -1 takes the terminator along.
TEST(StringsAnsi, BytesWidenToTheSameValues) {
    const char text[] = "A\xE9\xFF z";
    WCHAR wide[8];
    for (WCHAR& unit : wide) unit = 0x7777;
    ASSERT_EQ(6, MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 8));
    const unsigned expected[] = {0x41, 0xE9, 0xFF, 0x20, 0x7A, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], static_cast<unsigned>(wide[i])) << "unit " << i;
    EXPECT_EQ(0x7777u, static_cast<unsigned>(wide[6])) << "nothing written past the result";
    EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, text, 3, wide, 8)) << "an explicit length has no terminator";
}

// Wide to ANSI: units that fit give their byte, others the default character, which is reported.
TEST(StringsAnsi, WideNarrowsWithDefaultCharacter) {
    const WCHAR wide[] = {0x41, 0xE9, 0x4E2D, 0};
    char text[8] = {};
    BOOL usedDefault = FALSE;
    ASSERT_EQ(4, WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, &usedDefault));
    EXPECT_EQ(std::string("A\xE9?"), std::string(text));
    EXPECT_TRUE(usedDefault);

    usedDefault = TRUE;
    const WCHAR plain[] = {0x61, 0x62, 0};
    ASSERT_EQ(3, WideCharToMultiByte(CP_ACP, 0, plain, -1, text, sizeof(text), nullptr, &usedDefault));
    EXPECT_FALSE(usedDefault) << "cleared when nothing needed the default";

    const char star = '*';
    ASSERT_EQ(4, WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), &star, nullptr));
    EXPECT_EQ(std::string("A\xE9*"), std::string(text));
}

// An output size of 0 asks for the size; a short buffer fails with ERROR_INSUFFICIENT_BUFFER.
TEST(StringsAnsi, SizeRules) {
    const WCHAR wide[] = {0x61, 0x62, 0x63, 0};
    EXPECT_EQ(4, WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0));
    char text[3];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    WCHAR units[3];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", -1, units, 3));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", 0, units, 3)) << "an empty input is an error";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

// UTF-8 converts both ways; invalid input becomes U+FFFD or, when asked, fails.
TEST(StringsUtf8, RoundTripAndInvalidInput) {
    const char utf8[] = "h\xC3\xA9\xE2\x82\xAC";  // h, e acute, euro sign
    WCHAR wide[8] = {};
    ASSERT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 8));
    EXPECT_EQ(0x68u, static_cast<unsigned>(wide[0]));
    EXPECT_EQ(0xE9u, static_cast<unsigned>(wide[1]));
    EXPECT_EQ(0x20ACu, static_cast<unsigned>(wide[2]));
    char back[16] = {};
    ASSERT_EQ(7, WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof(back), nullptr, nullptr));
    EXPECT_STREQ(utf8, back);

    const char invalid[] = "a\xFF" "b";
    ASSERT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, invalid, 3, wide, 8));
    EXPECT_EQ(0xFFFDu, static_cast<unsigned>(wide[1]));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, invalid, 3, wide, 8));
    EXPECT_EQ(DWORD(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

// String lengths exclude the terminator; a null string has length 0.
TEST(StringsLength, LstrlenCountsUnits) {
    EXPECT_EQ(5, lstrlenA("hello"));
    EXPECT_EQ(0, lstrlenA(nullptr));
    const WCHAR wide[] = {0x68, 0x69, 0};
    EXPECT_EQ(2, lstrlenW(wide));
    EXPECT_EQ(0, lstrlenW(nullptr));
}
