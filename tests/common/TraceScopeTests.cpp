// TraceScopeTests.cpp -- ENTER/EXIT pairing by scope identifier, also under threads and exceptions.
#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kvtest;

namespace {

struct ScopeLines {
    int enters = 0;
    int exits = 0;
    std::string enterThread, exitThread;
    size_t enterIndex = 0, exitIndex = 0;
};

// Collects the ENTER and EXIT lines of `function` by scope identifier.
std::map<std::string, ScopeLines> CollectScopes(const std::vector<std::string>& lines, const std::string& function) {
    std::map<std::string, ScopeLines> scopes;
    std::regex enter(R"(^.*,\[\d+:(\d+)/5\] KVLUMEN\.Test::ENTER (\S+) on line \d+ in file .+ @(\{[0-9A-F-]{36}\})@$)");
    std::regex exit(R"(^.*,\[\d+:(\d+)/5\] KVLUMEN\.Test::EXIT: (\S+) @(\{[0-9A-F-]{36}\})@$)");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        if (std::regex_match(lines[i], m, enter) && m[2] == function) {
            ScopeLines& s = scopes[m[3]];
            ++s.enters;
            s.enterThread = m[1];
            s.enterIndex = i;
        } else if (std::regex_match(lines[i], m, exit) && m[2] == function) {
            ScopeLines& s = scopes[m[3]];
            ++s.exits;
            s.exitThread = m[1];
            s.exitIndex = i;
        }
    }
    return scopes;
}

class TraceTest : public testing::Test {
protected:
    void StartAt(int level) {
        ConfigureLog("file," + mPath + "," + std::to_string(level));
        ASSERT_EQ(level, StartLogging(kLogTestTag));
    }
    void TearDown() override { ConfigureLog(""); }
    ScopedTempDir mDir;
    std::string mPath = mDir.file("trace.log");
};

int TracedOperation(bool fail) {
    KV_TRACE_SCOPE("Traced::Operation");
    if (fail) throw std::runtime_error("leaves the scope");
    KVLOG_EXIT(5, "Traced::Operation", 0x80004005u);
    return 1;
}

}  // namespace

TEST_F(TraceTest, ConcurrentScopesPairByIdentifier) {
    // Scopes on several threads each get their own identifier; every ENTER has one EXIT with the
    // same identifier, on the same thread, after it.
    StartAt(5);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 40; ++i) TracedOperation(false);
        });
    for (auto& t : threads) t.join();
    EndLogging();
    auto scopes = CollectScopes(SplitLines(ReadWholeFile(mPath)), "Traced::Operation");
    ASSERT_EQ(240u, scopes.size());
    for (const auto& [id, s] : scopes) {
        EXPECT_EQ(1, s.enters) << id;
        EXPECT_EQ(1, s.exits) << id;
        EXPECT_EQ(s.enterThread, s.exitThread) << id;
        EXPECT_LT(s.enterIndex, s.exitIndex) << id;
    }
}

TEST_F(TraceTest, ExceptionStillWritesExit) {
    // A scope left by an exception writes its EXIT line; the result line stays between the two.
    StartAt(5);
    EXPECT_THROW(TracedOperation(true), std::runtime_error);
    EXPECT_EQ(1, TracedOperation(false));
    EndLogging();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(mPath));
    auto scopes = CollectScopes(lines, "Traced::Operation");
    ASSERT_EQ(2u, scopes.size());
    int withResult = 0;
    for (const auto& [id, s] : scopes) {
        EXPECT_EQ(1, s.exits);
        for (size_t i = s.enterIndex + 1; i < s.exitIndex; ++i)
            if (MessageOf(lines[i]) == "Traced::Operation - Exiting (hr: 0x80004005)") ++withResult;
    }
    EXPECT_EQ(1, withResult) << "only the call that returned wrote its result line";
}

TEST_F(TraceTest, ScopeThatOutlivesTheSwitchOnNamesItsExit) {
    // A scope that began while the trace was off and ends after it was switched on writes no
    // ENTER line, and an EXIT line with a well-formed identifier of its own.
    ASSERT_EQ(0, LogLevel());
    {
        KV_TRACE_SCOPE("Traced::Outer");
        StartAt(5);
    }
    EndLogging();
    auto scopes = CollectScopes(SplitLines(ReadWholeFile(mPath)), "Traced::Outer");
    ASSERT_EQ(1u, scopes.size()) << ReadWholeFile(mPath);
    EXPECT_EQ(0, scopes.begin()->second.enters);
    EXPECT_EQ(1, scopes.begin()->second.exits);
}

TEST_F(TraceTest, SilentBelowLevelFive) {
    // At level 4 a scope writes neither ENTER nor EXIT.
    StartAt(4);
    TracedOperation(false);
    EndLogging();
    for (const std::string& line : SplitLines(ReadWholeFile(mPath))) {
        EXPECT_EQ(std::string::npos, line.find("ENTER")) << line;
        EXPECT_EQ(std::string::npos, line.find("EXIT")) << line;
    }
}
