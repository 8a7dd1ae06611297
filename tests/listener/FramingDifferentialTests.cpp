// FramingDifferentialTests.cpp -- random requests, the real framing against a plain restatement of its rules.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>
#include <string>

#include "HttpFraming.h"
#include "ReferenceFraming.h"
#include "TransferState.h"

namespace {

// Makes requests near the edges: length headers of every shape (also in the body), chunk
// sizes that are right, wrong, huge or unreadable, data holding CR LF 0, cut-off messages,
// and now and then a soup of the framing's own tokens.
class RequestMaker {
public:
    explicit RequestMaker(unsigned seed) : mRandom(seed) {}

    size_t Pick(size_t count) { return mRandom() % count; }
    bool Chance(unsigned percent) { return mRandom() % 100 < percent; }

    std::string Request() {
        if (Chance(15)) return Soup();
        static const char* const kMethods[] = {"POST", "POST", "POST", "POST", "GET", "HEAD", "get", "GETS"};
        std::string text = std::string(kMethods[Pick(8)]) + " /event HTTP/1.1\r\nHost: p\r\n";
        for (size_t headers = Pick(5); headers > 0; --headers) text += Header();
        if (Chance(93)) text += "\r\n";
        if (Chance(35))
            text += Data(Pick(40));
        else
            text += Chunks();
        // Framing fields after the header section (in a body, chunk data or a trailer) are text.
        if (Chance(8)) text += (Chance(50) ? "\r\nContent-Length: " : "\r\nTransfer-Encoding: chunked") + Number() + "\r\n";
        if (Chance(25)) text.resize(Pick(text.size() + 1));
        return text;
    }

private:
    std::string Number() {
        static const char* const kValues[] = {"0", "3", "5", "12", "-1", " 7", "\t+4", "+", "-", "",
                                              "abc", "2147483648", "99999999999", "-2147483649", "4x", "\r5"};
        if (Chance(40)) return std::to_string(Pick(60));
        return kValues[Pick(sizeof(kValues) / sizeof(kValues[0]))];
    }

    std::string Blanks() {
        static const char* const kBlanks[] = {"", " ", "\t", " \t ", "  "};
        return kBlanks[Pick(5)];
    }

    std::string Header() {
        static const char* const kLengthNames[] = {"Content-Length", "CONTENT-LENGTH", "content-length",
                                                   "Content-length", "CONTENT-LENGTH ", "Content-Lengths"};
        static const char* const kCodings[] = {"chunked", "CHUNKED", "gzip, chunked", "chunked, gzip", "chunked,",
                                               "gzip", "", " , chunked ", "chunked;x"};
        static const char* const kExpectations[] = {"100-continue", "100-Continue ", "100-continue, x", ""};
        switch (Pick(10)) {
        case 0: case 1: case 2: return kLengthNames[Pick(6)] + std::string(":") + Blanks() + Number() + "\r\n";
        case 3: return "0-Trace: 1\r\n";
        case 4: return (Chance(50) ? "Expect:" : "expect:") + Blanks() + kExpectations[Pick(4)] + "\r\n";
        case 5: return "Transfer-Encoding:" + Blanks() + kCodings[Pick(9)] + Blanks() + "\r\n";
        default: return (Chance(70) ? "Transfer-Encoding: chunked" : "transfer-encoding:chunked") + std::string("\r\n");
        }
    }

    std::string Data(size_t count) {
        static const char kAlphabet[] = "AB0;x \r\n\r\n";
        std::string data;
        for (size_t i = 0; i < count; ++i)
            data += Chance(10) ? char(Pick(256)) : kAlphabet[Pick(sizeof(kAlphabet) - 1)];
        return data;
    }

    std::string SizeLine(size_t size) {
        char hex[32];
        snprintf(hex, sizeof(hex), Chance(50) ? "%x" : "%X", unsigned(size));
        switch (Pick(14)) {
        case 0: return std::string(" ") + hex;
        case 1: return std::string(hex) + ";name=value";
        case 2: return std::string("000") + hex;
        case 3: snprintf(hex, sizeof(hex), "%x", unsigned(size + Pick(5))); return hex;
        case 4: snprintf(hex, sizeof(hex), "%x", unsigned(size > 2 ? size - 2 : 0)); return hex;
        case 5: return "fffffff4";
        case 6: return Chance(50) ? "fffffffe" : "ffffffff";
        case 7: return "100000000";
        case 8: return Chance(50) ? "xyz" : "";
        default: return hex;
        }
    }

    std::string Chunks() {
        std::string body;
        for (size_t chunks = Pick(4); chunks > 0; --chunks) {
            size_t size = Pick(12);
            body += SizeLine(size) + "\r\n" + Data(size);
            body += Chance(85) ? std::string("\r\n") : Data(2);
        }
        if (Chance(80)) {
            body += Chance(80) ? "0\r\n" : "0;end\r\n";
            if (Chance(20)) body += "0-Trailer: x\r\n";
            if (Chance(70)) body += "\r\n";
        }
        return body;
    }

    std::string Soup() {
        static const char* const kTokens[] = {"\r\n", "\r\n\r\n", "0", "5", "a", "ff", ";", " ", "\r", "\n",
                                              "\r\nContent-Length: ", "\r\nCONTENT-LENGTH: ", "HELLO",
                                              "fffffff4", "-1", "\r\n0", "12", "GET ", "HEAD ", ":", ",",
                                              "\r\ntransfer-encoding:chunked", "\r\nexpect: 100-continue", "\t"};
        std::string text;
        for (size_t tokens = 1 + Pick(30); tokens > 0; --tokens) text += kTokens[Pick(sizeof(kTokens) / sizeof(kTokens[0]))];
        return text;
    }

    std::mt19937 mRandom;
};

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 32 || c >= 127) { char hex[8]; snprintf(hex, sizeof(hex), "\\x%02x", c); out += hex; }
        else out += char(c);
    }
    return out;
}

}  // namespace

TEST(FramingDifferential, RandomRequestsFollowTheRules) {
    // Every operation gives the rules' answer on random requests, the completion check after
    // every piece of a random split and after every single byte, and the header section reads
    // as the rules read it.
    RequestMaker maker(20240607);
    for (int round = 0; round < 2000; ++round) {
        std::string message = maker.Request();
        SCOPED_TRACE(Printable(message));
        ASSERT_EQ(reference::isChunked(message), isChunkedTransfer(message));
        ASSERT_EQ(reference::contentLength(message), getContentLength(message));
        ASSERT_EQ(reference::isTransferFinished(message), isTransferFinished(message));
        uint32_t start = uint32_t(maker.Pick(message.size() + 3));
        ASSERT_EQ(reference::findSize(start, message), findSize(start, message)) << "at " << start;

        std::string expected = message;
        std::string actual = message;
        bool split = reference::splitData(expected) == reference::Split::Done;
        ASSERT_EQ(split, splitData(actual));
        ASSERT_EQ(Printable(expected), Printable(actual));

        size_t bodyStart = message.find("\r\n\r\n");
        if (bodyStart != std::string::npos) {
            std::string expectedRegion = message.substr(bodyStart + 4);
            std::string actualRegion = expectedRegion;
            ASSERT_EQ(reference::postProcessData(expectedRegion), postProcessData(actualRegion));
            ASSERT_EQ(Printable(expectedRegion), Printable(actualRegion));
        }

        TransferState pieces;
        TransferState bytes;
        std::string received;
        for (size_t at = 0; at < message.size();) {
            size_t piece = 1 + maker.Pick(maker.Chance(50) ? 3 : 40);
            received.append(message, at, piece);
            at += piece;
            ASSERT_EQ(reference::isTransferFinished(received), pieces.isTransferFinished(received))
                << "after " << received.size() << " bytes";
        }
        if (pieces.headerComplete()) {
            // What the handler reads from the header section: framing, length, expectation.
            reference::Head head = reference::head(message);
            EXPECT_EQ(int(head.framing), int(pieces.header().framing()));
            EXPECT_EQ(head.length, pieces.header().length);
            EXPECT_EQ(head.expectContinue, pieces.header().expectContinue);
            EXPECT_EQ(message.find("\r\n\r\n") + 4, pieces.bodyStart());
        }
        received.clear();
        for (char byte : message) {
            received += byte;
            ASSERT_EQ(reference::isTransferFinished(received), bytes.isTransferFinished(received))
                << "after " << received.size() << " bytes";
        }
    }
}
