// FramingTests.cpp -- completion and body extraction of requests, each checked whole and one byte at a time.
#include <gtest/gtest.h>

#include <string>

#include "HttpFraming.h"
#include "ReferenceFraming.h"
#include "TransferState.h"

namespace {

const std::string kRequestLine = "POST /event HTTP/1.1\r\nHost: 10.0.0.7:8080\r\n";
const long kNever = -1;

std::string Request(const std::string& headers, const std::string& body) {
    return kRequestLine + headers + "\r\n" + body;
}

struct Expected {
    bool chunked;
    bool complete;
    long completesAfter;  // body bytes received when the request first counts as complete
    bool splits;
    std::string body;  // the text after splitData
};

// Runs a request through the framing twice: as one piece, and one byte at a time through the
// completion check, which must agree with the stateless check and the plain restatement of the
// rules after every byte.
void CheckRequest(const std::string& headers, const std::string& body, const Expected& expected) {
    std::string message = Request(headers, body);
    size_t headerSize = message.size() - body.size();

    EXPECT_EQ(expected.chunked, isChunkedTransfer(message));
    EXPECT_EQ(expected.complete, isTransferFinished(message));
    TransferState whole;
    EXPECT_EQ(expected.complete, whole.isTransferFinished(message));
    std::string text = message;
    EXPECT_EQ(expected.splits, splitData(text));
    EXPECT_EQ(expected.body, text);

    TransferState state;
    std::string received;
    long completesAfter = kNever;
    for (char byte : message) {
        received += byte;
        bool complete = state.isTransferFinished(received);
        ASSERT_EQ(isTransferFinished(received), complete) << "after " << received.size() << " bytes";
        ASSERT_EQ(reference::isTransferFinished(received), complete) << "after " << received.size() << " bytes";
        if (complete && completesAfter == kNever) completesAfter = long(received.size()) - long(headerSize);
    }
    EXPECT_EQ(expected.completesAfter, completesAfter);
    EXPECT_EQ(expected.complete, state.isTransferFinished(received));
}

struct Row {
    const char* name;
    std::string headers;
    std::string body;
    Expected expected;
};

}  // namespace

TEST(Framing, EdgeCaseTable) {
    // Every row of the reference table: mode, completion, and the text that splitData leaves.
    const std::string chunkedHeader = "Transfer-Encoding: chunked\r\n";
    const std::string lower = "content-length: 5\r\n";
    const std::string noBlank = "Content-Length:5\r\n";
    const Row rows[] = {
        {"declared length received", "Content-Length: 5\r\n", "HELLO", {false, true, 5, true, "HELLO"}},
        {"upper-case header cuts", "CONTENT-LENGTH: 3\r\n", "HELLO", {false, true, 3, true, "HEL"}},
        {"short body, peer closed", "Content-Length: 9\r\n", "HELLO", {false, false, kNever, true, "HELLO"}},
        {"zero length", "Content-Length: 0\r\n", "", {false, true, 0, true, ""}},
        {"lower-case name", lower, "HELLO", {false, true, 5, true, "HELLO"}},
        {"no blank before the value", noBlank, "HELLO", {false, true, 5, true, "HELLO"}},
        {"two chunks, extension", chunkedHeader, "5\r\nHELLO\r\n6;x=1\r\n WORLD\r\n0\r\n\r\n",
         {true, true, 28, true, "HELLO WORLD"}},
        {"no final empty line", chunkedHeader, "5\r\nHELLO\r\n0\r\n", {true, true, 13, true, "HELLO"}},
        {"chunked without Transfer-Encoding", "", "a\r\nABCDEFGHIJ\r\n0\r\n\r\n",
         {true, true, 18, true, "ABCDEFGHIJ"}},
        {"chunk cut short, peer closed", chunkedHeader, "5\r\nHEL",
         {true, false, kNever, false, Request(chunkedHeader, "5\r\nHEL")}},
        {"only the last chunk", chunkedHeader, "0\r\n\r\n", {true, true, 3, true, ""}},
        {"no body and no length", "", "", {true, false, kNever, false, Request("", "")}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CheckRequest(row.headers, row.body, row.expected);
    }
}

TEST(Framing, UpperCaseLengthHeaderDecides) {
    // Of several length fields the one spelt in capitals counts, wherever it stands; else the first.
    CheckRequest("Content-Length: 2\r\nCONTENT-LENGTH: 4\r\n", "HELLO", {false, true, 4, true, "HELL"});
    CheckRequest("CONTENT-LENGTH: 4\r\nContent-Length: 2\r\n", "HELLO", {false, true, 4, true, "HELL"});
    CheckRequest("content-length: 1\r\nContent-Length: 2\r\n", "HELLO", {false, true, 1, true, "H"});
}

TEST(Framing, FieldNamesInAnyCaseValueAfterOptionalBlanks) {
    // Names match without regard to case; blanks and tabs may stand between colon and value.
    for (const char* field : {"content-length: 5\r\n", "Content-length:5\r\n", "CONTENT-LENGTH:\t5\r\n",
                              "cOnTeNt-LeNgTh: \t 5 \r\n"}) {
        SCOPED_TRACE(field);
        CheckRequest(field, "HELLOxx", {false, true, 5, true, "HELLO"});
    }
    // A blank before the colon makes another name.
    const std::string spaced = "Content-Length :5\r\n";
    CheckRequest(spaced, "HELLO", {true, false, kNever, false, Request(spaced, "HELLO")});
}

TEST(Framing, FramingFieldsOnlyInTheHeaderSection) {
    // A length field in the body, in chunk data or in a trailer is body text and changes nothing.
    CheckRequest("", "14\r\n\r\nContent-Length: 99\r\n0\r\n\r\n", {true, true, 29, true, "\r\nContent-Length: 99"});
    CheckRequest("Transfer-Encoding: chunked\r\n", "3\r\nABC\r\n0\r\nContent-Length: 99\r\n\r\n",
                 {true, true, 11, true, "ABC"});
    CheckRequest("Content-Length: 2\r\n", "AB\r\nCONTENT-LENGTH: 99", {false, true, 2, true, "AB"});
}

TEST(Framing, ChunkedCodingWinsOverLength) {
    // Transfer-Encoding whose last coding is chunked frames the body, even beside a length.
    const std::string chunks = "5\r\nHELLO\r\n0\r\n\r\n";
    CheckRequest("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", chunks, {true, true, 13, true, "HELLO"});
    CheckRequest("transfer-encoding: gzip, CHUNKED \r\nContent-Length: 3\r\n", chunks, {true, true, 13, true, "HELLO"});
    CheckRequest("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked,\r\nContent-Length: 3\r\n", chunks,
                 {true, true, 13, true, "HELLO"});
    // chunked that is not the last coding leaves the length in charge.
    CheckRequest("Transfer-Encoding: chunked, gzip\r\nContent-Length: 3\r\n", chunks, {false, true, 3, true, "5\r\n"});
}

TEST(Framing, GetAndHeadHaveNoBody) {
    // GET and HEAD are complete at the end of their header section, whatever they declare.
    struct NoBodyRow {
        const char* method;
        std::string headers;
        std::string body;
    };
    const NoBodyRow rows[] = {
        {"GET", "", ""},
        {"HEAD", "Content-Length: 5\r\n", "HELLO"},
        {"GET", "Transfer-Encoding: chunked\r\n", "5\r\nHE"},
    };
    for (const NoBodyRow& row : rows) {
        std::string message = std::string(row.method) + " / HTTP/1.1\r\nHost: p\r\n" + row.headers + "\r\n" + row.body;
        SCOPED_TRACE(message);
        TransferState state;
        std::string received;
        for (char byte : message) {
            received += byte;
            bool complete = state.isTransferFinished(received);
            ASSERT_EQ(reference::isTransferFinished(received), complete) << "after " << received.size() << " bytes";
            ASSERT_EQ(isTransferFinished(received), complete) << "after " << received.size() << " bytes";
            ASSERT_EQ(complete, received.size() >= message.size() - row.body.size());
        }
        EXPECT_EQ(framing::BodyFraming::None, state.header().framing());
        EXPECT_FALSE(isChunkedTransfer(message));
        std::string text = message;
        EXPECT_TRUE(splitData(text));
        EXPECT_EQ("", text);
    }
    // The method is case-sensitive and ends at a blank.
    EXPECT_FALSE(isTransferFinished("get / HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(isTransferFinished("GET\r\n\r\n"));
    EXPECT_FALSE(isTransferFinished("GETS / HTTP/1.1\r\n\r\n"));
}

TEST(Framing, NegativeLengthNeverCompletes) {
    // -1 compares as 4294967295: never complete, and the split keeps everything after the headers.
    CheckRequest("Content-Length: -1\r\n", "HELLO", {false, false, kNever, true, "HELLO"});
}

TEST(Framing, LengthValueReadAsAtoi) {
    // Blanks and a sign are accepted, digits end at the first other byte, no digits read as 0.
    CheckRequest("Content-Length:  +3abc\r\n", "HELLO", {false, true, 3, true, "HEL"});
    CheckRequest("Content-Length: abc\r\n", "HELLO", {false, true, 0, true, ""});
    // Beyond 32 bits the value saturates instead of wrapping to a small length (4294967301 is 5).
    CheckRequest("Content-Length: 4294967301\r\n", "HELLO", {false, false, kNever, true, "HELLO"});
}

TEST(Framing, SizeLineReading) {
    // A leading blank is skipped, hexadecimal of either case is read, a non-number reads as 0.
    std::string data26 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    CheckRequest("", " 1a\r\n" + data26 + "\r\n0\r\n\r\n", {true, true, 36, true, data26});
    CheckRequest("", "1A\r\n" + data26 + "\r\n0\r\n\r\n", {true, true, 35, true, data26});
    std::string garbage = "xyz\r\nHELLO";
    CheckRequest("", garbage, {true, true, 5, false, Request("", garbage)});
}

TEST(Framing, LastChunkFoundByLastOccurrence) {
    // CRLF 0 inside chunk data, or a trailer line starting with 0, leaves the body intact.
    CheckRequest("", "5\r\n\r\n0AB\r\n0\r\n\r\n", {true, true, 13, true, "\r\n0AB"});
    CheckRequest("", "5\r\nHELLO\r\n0\r\n0-Trailer: x\r\n\r\n", {true, true, 13, true, "HELLO"});
}

TEST(Framing, BytesAfterChunkDataUnexamined) {
    // The two bytes after each chunk's data are dropped unseen, whatever they are.
    CheckRequest("", "3\r\nHELLO\r\n0\r\n\r\n", {true, true, 10, true, "HEL"});
    CheckRequest("", "5\r\nHE\r\n0\r\n\r\n", {true, true, 12, false, "HE\r\n0"});
}

TEST(Framing, HeaderEndNotYetReceived) {
    // Without the blank line a request is incomplete in both modes and cannot be split.
    std::string lengthMode = kRequestLine + "Content-Length: 0\r\n";
    std::string chunkedMode = kRequestLine + "Transfer-Encoding: chunked\r\n";
    for (const std::string& message : {lengthMode, chunkedMode}) {
        TransferState state;
        for (size_t i = 1; i <= message.size(); ++i)
            EXPECT_FALSE(state.isTransferFinished(message.substr(0, i)));
        EXPECT_FALSE(isTransferFinished(message));
        std::string text = message;
        EXPECT_FALSE(splitData(text));
        EXPECT_EQ(message, text);
    }
}

TEST(Framing, ChunkSizePastTheTextWaits) {
    // A declared size beyond the received bytes waits, even where 32-bit positions would wrap.
    // fffffff4 would bring a wrapping walk back to its own size line, for ever.
    CheckRequest("", "fffffff4\r\nAB\r\n0\r\n\r\n", {true, false, kNever, false, "AB\r\n0\r\n"});
    CheckRequest("", "fffffffe\r\n0\r\n\r\n", {true, false, kNever, false, "0\r\n"});
    CheckRequest("", "10\r\nabc", {true, false, kNever, false, Request("", "10\r\nabc")});
}

TEST(Framing, OversizedChunkFailsTheSplit) {
    // A size that cannot fit fails with the data corrupted, keeping what was joined so far.
    CheckRequest("", "2\r\nAB\r\nfffffffe\r\nCD\r\n0\r\n\r\n", {true, false, kNever, false, "ABCD\r\n0\r\n"});
    // More than 32 bits of size reads as unreadable: the region is left as it was.
    CheckRequest("", "100000000\r\nAB\r\n0\r\n\r\n", {true, false, kNever, false, "100000000\r\nAB\r\n0\r\n"});
}

TEST(Framing, LastChunkLineInHeadersIsNoFooter) {
    // A header line starting with 0 is not the end of the body: the split fails, text unchanged.
    std::string headers = "0-Trace: 1\r\n";
    CheckRequest(headers, "x\r\n", {true, true, 3, false, Request(headers, "x\r\n")});
}
