// framing_fuzz.cpp -- libFuzzer target: the framing against a plain restatement of its rules, whole and in pieces.
//
// Input: byte 0's low four bits give the number of piece lengths that follow (each byte is a
// length of 1 to 256); the rest is the received text. The text is checked whole by every
// stateless operation, then fed to the incremental check in those pieces (cycled) and one byte
// at a time; then split. A seed that starts with a zero byte is simply a request.
//
// Completion never goes back: once the header section is complete the framing is fixed, and a
// request that was complete stays complete as bytes are added. So the restatement is asked only
// for the first complete prefix (a binary search, a few rescans), and the incremental check must
// say "incomplete" before it and "complete" from it on: every prefix is judged, in linear time.
//
// Any disagreement aborts; a crash, a sanitizer report or a hang (libFuzzer's -timeout) fails
// the run as well.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "HttpFraming.h"
#include "Logging.h"
#include "ReferenceFraming.h"
#include "TransferState.h"

namespace {

const size_t kNever = SIZE_MAX;
// Longer texts are fed byte by byte only when the input names no pieces: every answer costs a
// trace scope, and the pieces already cut a text at every kind of place.
const size_t kByteByByteLimit = 512;

void Require(bool holds, const char* what, size_t at) {
    if (holds) return;
    fprintf(stderr, "framing disagrees with its rules: %s (at %zu bytes)\n", what, at);
    abort();
}

struct LogOff {
    BYTE level = kvlog::gLevel.exchange(0);
    ~LogOff() { kvlog::gLevel = level; }
};

// The length of the shortest prefix of `text` that the rules call complete, or kNever. Every
// prefix that holds the blank line has the same header section, read once here.
size_t FirstCompletePrefix(const std::string& text, const reference::Head& fields) {
    size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string::npos || !reference::isTransferFinished(text, fields)) return kNever;
    size_t incomplete = headerEnd + 3;  // a prefix known incomplete: the blank line is not all there
    size_t complete = text.size();
    while (complete - incomplete > 1) {
        size_t middle = incomplete + (complete - incomplete) / 2;
        if (reference::isTransferFinished(text.substr(0, middle), fields))
            complete = middle;
        else
            incomplete = middle;
    }
    return complete;
}

// Feeds `text` to a fresh incremental check in pieces of the given lengths (cycled) and checks
// every answer against the first complete prefix. The log is off meanwhile: every answer would
// format its trace scope's two lines, which the whole-text checks have formatted already.
void FeedInPieces(const std::string& text, const reference::Head& fields, const std::vector<size_t>& pieces,
                  size_t firstComplete, const char* what) {
    LogOff quiet;
    TransferState state;
    std::string received;
    for (size_t at = 0, next = 0; at < text.size(); ++next) {
        size_t piece = pieces[next % pieces.size()];
        received.append(text, at, piece);
        at += piece;
        bool complete = state.isTransferFinished(received);
        Require(complete == (received.size() >= firstComplete), what, received.size());
    }
    if (!state.headerComplete()) return;
    Require(int(fields.framing) == int(state.header().framing()), "header: framing", text.size());
    Require(fields.length == state.header().length, "header: length", text.size());
    Require(fields.expectContinue == state.header().expectContinue, "header: expectation", text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t count = data[0] & 15;
    if (size < 1 + count) return 0;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < count; ++i) pieces.push_back(size_t(data[1 + i]) + 1);
    const std::string text(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);

    Require(isChunkedTransfer(text) == reference::isChunked(text), "isChunkedTransfer", text.size());
    Require(getContentLength(text) == reference::contentLength(text), "getContentLength", text.size());
    const reference::Head fields = reference::head(text);
    bool finished = isTransferFinished(text);
    Require(finished == reference::isTransferFinished(text, fields), "isTransferFinished", text.size());
    TransferState whole;
    Require(whole.isTransferFinished(text) == finished, "TransferState, whole text", text.size());
    uint32_t start = pieces.empty() ? 0 : uint32_t(pieces[0] - 1);
    Require(findSize(start, text) == reference::findSize(start, text), "findSize", start);

    size_t firstComplete = FirstCompletePrefix(text, fields);
    if (!pieces.empty()) FeedInPieces(text, fields, pieces, firstComplete, "TransferState, in pieces");
    if (pieces.empty() || text.size() <= kByteByByteLimit)
        FeedInPieces(text, fields, {1}, firstComplete, "TransferState, byte by byte");

    std::string actual = text;
    std::string expected = text;
    bool split = splitData(actual);
    Require(split == (reference::splitData(expected) == reference::Split::Done), "splitData result", text.size());
    Require(actual == expected, "splitData text", text.size());
    return 0;
}
