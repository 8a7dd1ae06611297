// FramingFunctionTests.cpp -- the framing's building blocks on their own, and the lines they log.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "../common/LogTestSupport.h"
#include "HttpFraming.h"
#include "TransferState.h"

using namespace kvtest;

TEST(FramingFindSize, ReadsHexUpToLineEndOrExtension) {
    // The size is hexadecimal after optional blanks, cut at ';' on its own line only.
    EXPECT_EQ(5u, findSize(0, "5;ext=1\r\n"));
    EXPECT_EQ(10u, findSize(0, "a\r\n;"));
    EXPECT_EQ(26u, findSize(0, " \t1A\r\n"));
    EXPECT_EQ(7u, findSize(4, "xx\r\n7\r\n"));
    EXPECT_EQ(1u, findSize(0, "00000000001\r\n"));
    EXPECT_EQ(1u, findSize(0, std::string("1\0" "2\r\n", 5)));
    EXPECT_EQ(0u, findSize(0, "0x1a\r\n"));
    EXPECT_EQ(0u, findSize(0, "xyz\r\n"));
    EXPECT_EQ(0u, findSize(0, "\r\n"));
}

TEST(FramingFindSize, NposWithoutLineEndOrBeyond32Bits) {
    // No line end yet, a start past the text, or a size that cannot be held all read as npos.
    EXPECT_EQ(framing::npos, findSize(0, "1a"));
    EXPECT_EQ(framing::npos, findSize(0, "1a\r"));
    EXPECT_EQ(framing::npos, findSize(3, "1\r\n"));
    EXPECT_EQ(framing::npos, findSize(1000, "1\r\n"));
    EXPECT_EQ(framing::npos, findSize(0, "ffffffff\r\n"));
    EXPECT_EQ(framing::npos, findSize(0, "123456789\r\n"));
    EXPECT_EQ(0xFFFFFFFEu, findSize(0, "fffffffe\r\n"));
}

TEST(FramingContentLength, ReadsValueLikeAtoi) {
    // Blanks (a lone CR or LF too) and a sign before the digits; the line end closes the value.
    EXPECT_EQ(42, getContentLength("x\r\nContent-Length: 42\r\n"));
    EXPECT_EQ(7, getContentLength("x\r\nContent-Length: 7"));
    EXPECT_EQ(5, getContentLength("x\r\nContent-Length: \n5\r\n"));
    EXPECT_EQ(5, getContentLength("x\r\nContent-Length: \r5\r\n"));
    EXPECT_EQ(0, getContentLength("x\r\nContent-Length: \r\n5\r\n"));
    EXPECT_EQ(-3, getContentLength("x\r\nContent-Length: -3\r\n"));
    EXPECT_EQ(0, getContentLength("x\r\nContent-Length: -\r\n"));
    EXPECT_EQ(12, getContentLength("x\r\nContent-Length: 12abc\r\n"));
}

TEST(FramingContentLength, UpperCaseWinsAndMissingGivesZero) {
    // The name in capitals decides, any other spelling counts when it is the only one; without
    // any length field nothing after position 17 is read, and a body's field is no field.
    EXPECT_EQ(4, getContentLength("x\r\nContent-Length: 2\r\nCONTENT-LENGTH: 4\r\n"));
    EXPECT_EQ(4, getContentLength("x\r\nCONTENT-LENGTH: 4\r\nContent-Length: 2\r\n"));
    EXPECT_EQ(2, getContentLength("x\r\ncontent-length:\t2\r\n"));
    EXPECT_EQ(0, getContentLength("x\r\n\r\nContent-Length: 2\r\n"));
    EXPECT_EQ(0, getContentLength("01234567890123456789\r\n"));
    EXPECT_EQ(0, getContentLength(""));
}

TEST(FramingContentLength, SaturatesAt32Bits) {
    // Out-of-range values stop at the limits instead of wrapping into a plausible length.
    EXPECT_EQ(INT32_MAX, getContentLength("x\r\nContent-Length: 2147483647\r\n"));
    EXPECT_EQ(INT32_MAX, getContentLength("x\r\nContent-Length: 2147483648\r\n"));
    EXPECT_EQ(INT32_MAX, getContentLength("x\r\nContent-Length: 4294967301\r\n"));
    EXPECT_EQ(INT32_MIN, getContentLength("x\r\nContent-Length: -2147483648\r\n"));
    EXPECT_EQ(INT32_MIN, getContentLength("x\r\nContent-Length: -99999999999999999999\r\n"));
}

TEST(FramingPostProcess, FailureKeepsJoinedDataAndUnreadRest) {
    // On failure the region is the data joined so far followed by the bytes not yet read.
    std::string region = "HELLO";
    EXPECT_FALSE(postProcessData(region));
    EXPECT_EQ("HELLO", region);
    region = "9\r\nAB\r\n";  // runs past the end
    EXPECT_FALSE(postProcessData(region));
    EXPECT_EQ("AB\r\n", region);
    region = "2\r\nABxx5";  // the next size line has no line end
    EXPECT_FALSE(postProcessData(region));
    EXPECT_EQ("AB5", region);
    region = "2\r\nAB\r\n3\r\nCDE\r\nfffffffe\r\nFG\r\n0\r\n";
    EXPECT_FALSE(postProcessData(region));
    EXPECT_EQ("ABCDEFG\r\n0\r\n", region);
}

namespace {

// The log's messages at level 5 while `work` runs, trace lines left out.
template <class Work>
std::vector<std::string> LoggedMessages(Work work, std::vector<std::string>* traces = nullptr) {
    ScopedTempDir dir;
    std::string path = dir.file("framing.log");
    ConfigureLog("file," + path + ",5");
    EXPECT_EQ(5, StartLogging(kLogTestTag));
    work();
    EndLogging();
    ConfigureLog("");
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadWholeFile(path))) {
        std::string message = MessageOf(line);
        bool trace = message.rfind("ENTER ", 0) == 0 || message.rfind("EXIT: ", 0) == 0;
        if (trace) {
            if (traces) traces->push_back(message);
        } else if (message.rfind(" ---", 0) != 0) {
            messages.push_back(message);
        }
    }
    return messages;
}

const char kRequest[] = "POST / HTTP/1.1\r\nHost: p\r\n";

}  // namespace

TEST(FramingLog, EachFailureWritesItsLine) {
    // Every way a split fails has its own line; a length request that is complete says so.
    std::vector<std::string> messages = LoggedMessages([] {
        std::string noHeaderEnd = kRequest;
        splitData(noHeaderEnd);
        std::string noFooter = std::string(kRequest) + "\r\n5\r\nHEL";
        splitData(noFooter);
        std::string shortChunk = std::string(kRequest) + "\r\n5\r\nHE\r\n0\r\n\r\n";
        splitData(shortChunk);
        std::string pastEnd = std::string(kRequest) + "\r\n9\r\nAB\r\n0\r\n\r\n";
        splitData(pastEnd);
        std::string length = std::string(kRequest) + "Content-Length: 2\r\n\r\nAB";
        isTransferFinished(length);
        TransferState state;
        state.isTransferFinished(length);
    });
    std::vector<std::string> expected = {
        "splitData error: no valid header found (chunked*)",
        "splitData error: no valid footer found (chunked*)",
        "splitData error: the data part seems to be corrupted (chunked)",
        "postProcessData: Unknown exception",
        "splitData error: the data part seems to be corrupted (chunked)",
        "server has passed the required length",
        "server has passed the required length",
    };
    EXPECT_EQ(expected, messages);
}

TEST(FramingLog, OperationsAreTraced) {
    // Each operation writes its ENTER and EXIT lines, findSize once per size line it reads.
    std::vector<std::string> traces;
    LoggedMessages(
        [] {
            std::string text = std::string(kRequest) + "\r\n1\r\nA\r\n0\r\n\r\n";
            splitData(text);
        },
        &traces);
    std::vector<std::string> entered;
    for (const std::string& trace : traces)
        if (trace.rfind("ENTER ", 0) == 0) entered.push_back(trace.substr(6, trace.find(" on line") - 6));
    std::vector<std::string> expected = {"splitData", "isChunkedTransfer", "postProcessData", "findSize",
                                         "findSize"};
    EXPECT_EQ(expected, entered);
    EXPECT_EQ(2 * expected.size(), traces.size());
}
