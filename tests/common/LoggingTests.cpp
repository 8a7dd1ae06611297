// LoggingTests.cpp -- the log: configuration, line layout, bounds, fallback file, trim, sharing.
#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <stdlib.h>
#endif

using namespace kvtest;

namespace {

// Points the temporary-files folder of this process at a folder of the test.
class TempFolderOverride {
public:
    explicit TempFolderOverride(const std::string& folder) {
#ifdef _WIN32
        char old[MAX_PATH] = {};
        mHad = GetEnvironmentVariableA("TMP", old, sizeof(old)) > 0;
        mOld = old;
        SetEnvironmentVariableA("TMP", folder.c_str());
#else
        const char* old = getenv("TMPDIR");
        mHad = old != nullptr;
        if (old) mOld = old;
        setenv("TMPDIR", folder.c_str(), 1);
#endif
    }
    ~TempFolderOverride() {
#ifdef _WIN32
        SetEnvironmentVariableA("TMP", mHad ? mOld.c_str() : nullptr);
#else
        if (mHad)
            setenv("TMPDIR", mOld.c_str(), 1);
        else
            unsetenv("TMPDIR");
#endif
    }

private:
    bool mHad = false;
    std::string mOld;
};

class LogTest : public testing::Test {
protected:
    void TearDown() override {
        // Whatever a test left open is closed, so the next one starts with the log off.
        for (; mStarted > 0; --mStarted) EndLogging();
        ConfigureLog("");
    }
    BYTE Start(const std::string& setting) {
        ConfigureLog(setting);
        ++mStarted;
        return StartLogging(kLogTestTag);
    }
    void End() {
        --mStarted;
        EndLogging();
    }
    // Two child processes and this one each write `count` lines of 200 letters to the log
    // `setting` names (at `path`). Returns the largest size this process saw the file at after
    // each of its lines.
    size_t WriteFromThreeProcesses(const std::string& setting, const std::string& path, int count) {
        std::string args = "\"" + setting + "\" " + std::to_string(count);
        HANDLE writers[] = {StartChild("log_writer", args), StartChild("log_writer", args)};
        EXPECT_TRUE(writers[0] && writers[1]);
        EXPECT_EQ(3, Start(setting));
        size_t largest = 0;
        for (int i = 0; i < count; ++i) {
            LogMessage(1, "writer %lu line %d %s", (unsigned long)GetCurrentProcessId(), i, std::string(200, 'z').c_str());
            largest = std::max(largest, ReadWholeFile(path).size());
        }
        End();
        for (HANDLE h : writers) {
            if (!h) continue;
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 120000));
            DWORD code = 1;
            GetExitCodeProcess(h, &code);
            EXPECT_EQ(0u, code);
            CloseHandle(h);
        }
        return largest;
    }
    // Every line is one writer's whole line.
    static void ExpectWholeWriterLines(const std::vector<std::string>& lines) {
        std::regex shape(R"(^.*::writer (\d+) line (\d+) ([a-z])\3{199}$)");
        for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, shape)) << line;
    }

    ScopedTempDir mDir;
    int mStarted = 0;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST_F(LogTest, FileLineLayout) {
    // A file line carries date, time, process, thread and level before the tag and the message.
    std::string path = mDir.file("layout.log");
    ASSERT_EQ(3, Start("file," + path + ",3"));
    LogMessage(3, "Entering %s of %S", "FinalConstruct", L"EVENT LISTENER");
    DWORD tid = GetCurrentThreadId();
    End();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(path));
    ASSERT_EQ(1u, lines.size());
    std::regex layout(R"(^(\d{1,2})/(\d{1,2})/(\d\d)-(\d\d):(\d\d):(\d\d),\[(\d+):(\d+)/3\] KVLUMEN\.Test::Entering FinalConstruct of EVENT LISTENER$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, layout)) << lines[0];
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(std::to_string(now.wMonth), m[1].str());
    EXPECT_EQ(std::to_string(GetCurrentProcessId()), m[7].str());
    EXPECT_EQ(std::to_string(tid), m[8].str());
    EXPECT_EQ("\r\n", ReadWholeFile(path).substr(ReadWholeFile(path).size() - 2));
}

TEST_F(LogTest, LevelFiltersMessagesAndMarkers) {
    // Messages above the active level are dropped; the start and end markers need level 4.
    std::string quiet = mDir.file("quiet.log");
    ASSERT_EQ(3, Start("file," + quiet + ",3"));
    LogMessage(4, "too detailed");
    LogMessage(3, "kept");
    End();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(quiet));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("kept", MessageOf(lines[0]));

    std::string loud = mDir.file("loud.log");
    ASSERT_EQ(4, Start("file," + loud + ",4"));
    LogMessage(4, "middle");
    End();
    lines = SplitLines(ReadWholeFile(loud));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(" ---Start Logging---", MessageOf(lines[0]));
    EXPECT_EQ("middle", MessageOf(lines[1]));
    EXPECT_EQ(" ---End Logging---", MessageOf(lines[2]));
}

TEST_F(LogTest, SettingsParseAsDocumented) {
    // Keywords ignore case; the level is the number after the last comma used, low 8 bits only.
    EXPECT_EQ(2, Start("CONSOLE,2"));
    End();
    EXPECT_EQ(44, Start("console,300"));
    End();
    EXPECT_EQ(255, Start("debug,-1"));
    End();
    EXPECT_EQ(0, Start("debug,abc"));
    End();
    EXPECT_EQ(0, Start("console"));
    End();
    EXPECT_EQ(0, Start("syslog,5"));
    End();
    std::string noLevel = mDir.file("nolevel.log");
    EXPECT_EQ(0, Start("file," + noLevel));
    End();
    EXPECT_FALSE(FileExists(noLevel)) << "a setting without level opens nothing";
    std::string extra = mDir.file("extra.log");
    EXPECT_EQ(2, Start("file," + extra + ",1,2,3"));
    End();
}

TEST_F(LogTest, SecondStartWithOtherTargetFails) {
    // While the log is open, a start that asks for another target changes nothing.
    std::string path = mDir.file("first.log");
    ASSERT_EQ(3, Start("file," + path + ",3"));
    EXPECT_EQ(3, Start("console,2")) << "the level stays the open log's";
    LogMessage(3, "still to the file");
    End();
    End();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(path));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("still to the file", MessageOf(lines[0]));
}

TEST_F(LogTest, ConsoleTargetHasNoPrefix) {
    // The console target writes only the tag, "::" and the message.
    ASSERT_EQ(5, Start("console,5"));
    testing::internal::CaptureStdout();
    LogMessage(3, "plain %d", 42);
    std::string out = testing::internal::GetCapturedStdout();
    End();
    EXPECT_EQ(std::string(kLogTestTag) + "::plain 42\r\n", out);
}

TEST_F(LogTest, LineEndingsAndLongFormats) {
    // A message ending in LF gets no CR LF; a 512-character format gets the warning and is cut
    // to 511 characters; a 511-character one is used whole.
    std::string path = mDir.file("ends.log");
    ASSERT_EQ(3, Start("file," + path + ",3"));
    LogMessage(1, "own line end\n");
    std::string f511 = Repeat('a', 511);
    std::string f512 = Repeat('b', 512);
    LogMessage(1, f511.c_str());
    LogMessage(1, f512.c_str());
    End();
    std::string text = ReadWholeFile(path);
    EXPECT_NE(std::string::npos, text.find("::own line end\n")) << text;
    EXPECT_EQ(std::string::npos, text.find("::own line end\r\n"));
    EXPECT_NE(std::string::npos, text.find("::" + f511 + "\r\n"));
    EXPECT_NE(std::string::npos,
              text.find("::WARNING!!! LogMessage() format string > 512 chars:" + Repeat('b', 511) + "\r\n"));
    EXPECT_EQ(std::string::npos, text.find("WARNING!!! LogMessage() format string > 512 chars:a"));
}

TEST_F(LogTest, StringPrecisionBoundsMessage) {
    // "%s and %s" (9 characters, two strings) takes at most 505 characters of each string.
    std::string path = mDir.file("precision.log");
    ASSERT_EQ(3, Start("file," + path + ",3"));
    std::string x(800, 'x'), y(800, 'y');
    LogMessage(1, "%s and %s", x.c_str(), y.c_str());
    LogMessage(1, "%S|%s", std::wstring(1000, L'w').c_str(), "tail");
    End();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(path));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(505, 'x') + " and " + std::string(505, 'y'), MessageOf(lines[0]));
    // Two conversions, format length 5: (1024 - 4 - 5) / 2 = 507 characters each.
    EXPECT_EQ(std::string(507, 'w') + "|tail", MessageOf(lines[1]));
}

TEST_F(LogTest, OverlongLineIsCutAndKeepsCrLf) {
    // Output that would overflow the line buffer is cut, and the line still ends with CR LF.
    std::string path = mDir.file("long.log");
    ASSERT_EQ(3, Start("file," + path + ",3"));
    std::string format;
    for (int i = 0; i < 60; ++i) format += "%030d";
    std::vector<int> v(60, 7);
    LogMessage(1, format.c_str(), v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12],
               v[13], v[14], v[15], v[16], v[17], v[18], v[19], v[20], v[21], v[22], v[23], v[24], v[25], v[26], v[27],
               v[28], v[29], v[30], v[31], v[32], v[33], v[34], v[35], v[36], v[37], v[38], v[39], v[40], v[41], v[42],
               v[43], v[44], v[45], v[46], v[47], v[48], v[49], v[50], v[51], v[52], v[53], v[54], v[55], v[56], v[57],
               v[58], v[59]);
    LogMessage(1, "next");
    End();
    std::string text = ReadWholeFile(path);
    size_t first = text.find("\r\n");
    ASSERT_NE(std::string::npos, first);
    EXPECT_LE(first + 2, 1151u) << "a line fits its 1152-byte buffer with the terminator";
    EXPECT_GT(first, 1000u) << "the cut keeps what fits";
    EXPECT_EQ("next", MessageOf(SplitLines(text.substr(first + 2))[0]));
}

TEST_F(LogTest, LastErrorIsPreserved) {
    // Logging keeps the thread's last-error value, whether it writes, drops or uses the fallback.
    ScopedTempDir tmp;
    TempFolderOverride redirect(tmp.path());
    SetLastError(0xdeadbeef);
    LogMessage(0, "fallback line");
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    std::string path = mDir.file("lasterror.log");
    SetLastError(0xdeadbeef);
    ASSERT_EQ(5, Start("file," + path + ",5"));
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    SetLastError(0xfeedf00d);
    LogMessage(2, "written %s", "here");
    EXPECT_EQ(0xfeedf00du, GetLastError());
    SetLastError(0xfeedf00d);
    LogMessage(9, "dropped");
    EXPECT_EQ(0xfeedf00du, GetLastError());
    SetLastError(0xabad1dea);
    End();
    EXPECT_EQ(0xabad1deau, GetLastError());
}

TEST_F(LogTest, OffWritesOnlyLevelZeroToFallbackFile) {
    // With no setting a level-1 message writes nothing; a level-0 one appends one full line to
    // kvr-event.log in the temporary folder and leaves no handle open.
    ScopedTempDir tmp;
    TempFolderOverride redirect(tmp.path());
    ConfigureLog("");
    EXPECT_EQ(0, StartLogging(kLogTestTag));
    std::string fallback = tmp.file("kvr-event.log");
    LogMessage(1, "nowhere");
    EXPECT_FALSE(FileExists(fallback));
    LogMessage(0, "always %d", 0);
    LogMessage(0, "again");
    std::vector<std::string> lines = SplitLines(ReadWholeFile(fallback));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(^\d+/\d+/\d\d-\d\d:\d\d:\d\d,\[\d+:\d+/0\] [^:]*::always 0$)")))
        << lines[0];
    EXPECT_TRUE(DeleteFileA(fallback.c_str())) << "the fallback file is closed after each line";
}

TEST_F(LogTest, EndMoreOftenThanStartIsHarmless) {
    // Extra EndLogging calls do nothing; the next start is again the first one.
    std::string path = mDir.file("extra-end.log");
    ASSERT_EQ(4, Start("file," + path + ",4"));
    End();
    EndLogging();
    EndLogging();
    EXPECT_EQ(0, LogLevel());
    ASSERT_EQ(4, Start("file," + path + ",4"));
    End();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(path));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(" ---Start Logging---", MessageOf(lines[2]));
    EXPECT_EQ(" ---End Logging---", MessageOf(lines[3]));
}

TEST_F(LogTest, NestedStartsShareTheLog) {
    // Only the last EndLogging closes: the end marker is written once, by that call.
    std::string path = mDir.file("nested.log");
    ASSERT_EQ(4, Start("file," + path + ",4"));
    ASSERT_EQ(4, Start("file," + path + ",4"));
    End();
    LogMessage(4, "still open");
    End();
    LogMessage(1, "closed");
    std::vector<std::string> lines = SplitLines(ReadWholeFile(path));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("still open", MessageOf(lines[1]));
    EXPECT_EQ(" ---End Logging---", MessageOf(lines[2]));
}

TEST_F(LogTest, TrimKeepsNewestWholeLines) {
    // Closing a log limited to 1 KB keeps at most 1024 bytes, starting at a line start; with a
    // limit of 1024 KB (out of range) the file is untouched.
    std::string path = mDir.file("trim.log");
    ASSERT_EQ(3, Start("file," + path + ",1,3"));
    // While the log is open it is cut back whenever it would reach 2048 bytes: write until it
    // is well past its limit.
    int i = 0;
    for (; i < 100 || (i < 200 && ReadWholeFile(path).size() < 1500); ++i)
        LogMessage(1, "line %03d %s", i, "0123456789012345678901234567890123456789");
    char last[16];
    snprintf(last, sizeof(last), "line %03d", i - 1);
    std::string before = ReadWholeFile(path);
    ASSERT_GT(before.size(), 1500u);
    End();
    std::string after = ReadWholeFile(path);
    EXPECT_LE(after.size(), 1024u);
    EXPECT_GT(after.size(), 900u);
    ASSERT_EQ(before.size() - after.size(), before.rfind(after)) << "the kept text is the file's tail";
    EXPECT_EQ('\n', before[before.size() - after.size() - 1]) << "the kept text starts a line";
    EXPECT_NE(std::string::npos, after.find(last));

    std::string untouched = mDir.file("untouched.log");
    ASSERT_EQ(3, Start("file," + untouched + ",1024,3"));
    for (int i = 0; i < 100; ++i) LogMessage(1, "line %03d %s", i, "0123456789012345678901234567890123456789");
    size_t size = ReadWholeFile(untouched).size();
    End();
    EXPECT_EQ(size, ReadWholeFile(untouched).size());
}

KV_TEST_CHILD(log_writer) {
    // argv: setting, lines
    if (argc < 2) return 2;
    ConfigureLog(argv[0]);
    if (StartLogging(kLogTestTag) != 3) return 3;
    int count = atoi(argv[1]);
    std::string payload(200, char('a' + GetCurrentProcessId() % 26));
    for (int i = 0; i < count; ++i) LogMessage(1, "writer %lu line %d %s", (unsigned long)GetCurrentProcessId(), i, payload.c_str());
    EndLogging();
    return 0;
}

TEST_F(LogTest, TwoProcessesAppendWholeLines) {
    // Two processes (and this one) logging to one file produce whole lines only.
    std::string path = mDir.file("shared.log");
    WriteFromThreeProcesses("file," + path + ",3", path, 300);
    std::vector<std::string> lines = SplitLines(ReadWholeFile(path));
    ASSERT_EQ(900u, lines.size());
    ExpectWholeWriterLines(lines);
}

TEST_F(LogTest, LimitedLogKeepsItsSizeWhileProcessesWrite) {
    // A log limited to 2 KB never reaches 4 KB while two other processes and this one write to
    // it, whatever their pace; it holds whole lines only, the newest ones, and closes within
    // its limit.
    std::string path = mDir.file("limited.log");
    EXPECT_LT(WriteFromThreeProcesses("file," + path + ",2,3", path, 3000), 4096u);
    std::string text = ReadWholeFile(path);
    EXPECT_LE(text.size(), 2048u);
    std::vector<std::string> lines = SplitLines(text);
    ASSERT_FALSE(lines.empty());
    ExpectWholeWriterLines(lines);
}
