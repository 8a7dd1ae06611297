// FramingTransferStateTests.cpp -- the completion check kept across receives: restarts, and cost in proportion to the request.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "HttpFraming.h"
#include "TransferState.h"

namespace {

const std::string kRequestLine = "POST /event HTTP/1.1\r\nHost: p\r\n";

// Feeds `message` in pieces of `piece` bytes, as the handler receives it; returns the last
// answer and the seconds taken.
bool FeedInPieces(TransferState& state, const std::string& message, size_t piece, double* seconds) {
    auto begin = std::chrono::steady_clock::now();
    std::string received;
    received.reserve(message.size());
    bool complete = false;
    for (size_t at = 0; at < message.size(); at += piece) {
        received.append(message, at, piece);
        complete = state.isTransferFinished(received);
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return complete;
}

}  // namespace

TEST(TransferState, ShorterTextStartsOver) {
    // A text shorter than the last one is a new request, read from its start.
    TransferState state;
    std::string first = kRequestLine + "\r\n0\r\n\r\nand a trailer that makes it long";
    EXPECT_TRUE(state.isTransferFinished(first));
    std::string partial = kRequestLine + "Content";
    std::string second = partial + "-Length: 4\r\n\r\nAB";
    EXPECT_FALSE(state.isTransferFinished(partial));
    EXPECT_FALSE(state.isTransferFinished(second));
    EXPECT_TRUE(state.isTransferFinished(second + "CD"));
}

TEST(TransferState, ResetForgetsWhatWasLearnt) {
    // After reset a request in the other mode is judged on its own bytes only.
    TransferState state;
    std::string lengthRequest = kRequestLine + "Content-Length: 3\r\n\r\nABC";
    EXPECT_TRUE(state.isTransferFinished(lengthRequest));
    state.reset();
    std::string longerChunked = kRequestLine + "Transfer-Encoding: chunked\r\n\r\n5\r\nHEL";
    ASSERT_GT(longerChunked.size(), lengthRequest.size());
    EXPECT_FALSE(state.isTransferFinished(longerChunked));
    EXPECT_TRUE(state.isTransferFinished(longerChunked + "LO\r\n0\r\n"));
}

TEST(TransferState, CostGrowsLinearly) {
    // 16 MiB requests of the shapes that make a rescanning check quadratic finish in moments
    // when fed 1023 bytes at a time; rescanning them would take minutes.
    const size_t size = 16u << 20;
    struct Shape {
        const char* name;
        std::string message;
        bool complete;
    };
    std::string endlessSizeLine = kRequestLine + "\r\n" + std::string(size, '1');
    std::string endlessHeaders = kRequestLine + std::string(size, 'h');
    std::string endlessBlanks = kRequestLine + "Content-Length: " + std::string(size, ' ');
    std::string manyChunks = kRequestLine + "\r\n";
    while (manyChunks.size() < size) manyChunks += "1;e\r\nA\r\n";
    std::string longBody = kRequestLine + "Content-Length: 16777216\r\n\r\n" + std::string(size, 'b');
    const Shape shapes[] = {
        {"size line without end", endlessSizeLine, false},
        {"header section without end", endlessHeaders, false},
        {"length value of blanks", endlessBlanks, false},
        {"many small chunks", manyChunks, false},
        {"long body in length mode", longBody, true},
    };
    double total = 0;
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        TransferState state;
        double seconds = 0;
        EXPECT_EQ(shape.complete, FeedInPieces(state, shape.message, 1023, &seconds));
        EXPECT_EQ(shape.complete, isTransferFinished(shape.message));
        total += seconds;
    }
    EXPECT_LT(total, 10.0);
}
