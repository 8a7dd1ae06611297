// MessagesTests.cpp -- the system's message texts (FormatMessageA) as tools print them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

const DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::string Text(DWORD code) {
    char text[512];
    DWORD n = FormatMessageA(kFlags, nullptr, code, 0, text, sizeof(text), nullptr);
    return std::string(text, n);
}

}  // namespace

// A Win32 code and the HRESULT that wraps it have a text: one line ending in CR LF, the same for
// both. A code without a text and a buffer too small fail with
// their own last-error values.
TEST(Messages, SystemTextsForCodes) {
    std::string missing = Text(ERROR_FILE_NOT_FOUND);
    ASSERT_GT(missing.size(), 2u);
    EXPECT_EQ("\r\n", missing.substr(missing.size() - 2));
    EXPECT_EQ(std::string::npos, missing.substr(0, missing.size() - 2).find('\n'));
    EXPECT_EQ(missing, Text(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))));
    EXPECT_NE(missing, Text(ERROR_ACCESS_DENIED));
#ifndef _WIN32
    // Windows has the COM codes' texts as well; Wine's message table lacks them.
    EXPECT_EQ("Class not registered\r\n", Text(static_cast<DWORD>(REGDB_E_CLASSNOTREG)));
#endif

    char text[512];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, FormatMessageA(kFlags, nullptr, 0x20001234, 0, text, sizeof(text), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, FormatMessageA(kFlags, nullptr, ERROR_FILE_NOT_FOUND, 0, text, 4, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}
