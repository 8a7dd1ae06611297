// framing_fuzz.cpp -- libFuzzer target: the framing against a plain restatement of its rules, whole and in pieces.
//
// Input: byte 0's low four bits give the number of piece lengths that follow (each byte is a
// length of 1 to 256); the rest is the received text. The text is checked whole, fed to the
// incremental check in those pieces (cycled) and, when short, one byte at a time; then split.
// A seed that starts with a zero byte is simply a request, fed whole and byte by byte.
//
// Any disagreement aborts; a crash, a sanitizer report or a hang (libFuzzer's -timeout) fails
// the run as well.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "HttpFraming.h"
#include "ReferenceFraming.h"
#include "TransferState.h"

namespace {

// The restatement rescans for every answer; beyond this size it only judges the whole text,
// and the pieces are checked against the (linear) stateless check instead.
const size_t kReferencePrefixLimit = 512;

void Require(bool holds, const char* what, size_t at) {
    if (holds) return;
    fprintf(stderr, "framing disagrees with its rules: %s (at %zu bytes)\n", what, at);
    abort();
}

bool ReferenceFinished(const std::string& received, bool stateless) {
    return received.size() <= kReferencePrefixLimit ? reference::isTransferFinished(received) : stateless;
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
    bool finished = isTransferFinished(text);
    Require(finished == reference::isTransferFinished(text), "isTransferFinished", text.size());
    TransferState whole;
    Require(whole.isTransferFinished(text) == finished, "TransferState, whole text", text.size());
    uint32_t start = pieces.empty() ? 0 : uint32_t(pieces[0] - 1);
    Require(findSize(start, text) == reference::findSize(start, text), "findSize", start);

    if (!pieces.empty()) {
        TransferState state;
        std::string received;
        for (size_t at = 0, next = 0; at < text.size(); ++next) {
            size_t piece = pieces[next % pieces.size()];
            received.append(text, at, piece);
            at += piece;
            bool stateless = isTransferFinished(received);
            bool incremental = state.isTransferFinished(received);
            Require(incremental == stateless, "TransferState, in pieces", received.size());
            Require(incremental == ReferenceFinished(received, stateless), "rules, in pieces", received.size());
        }
    }
    if (text.size() <= 2 * kReferencePrefixLimit) {
        TransferState state;
        std::string received;
        for (char byte : text) {
            received += byte;
            bool stateless = isTransferFinished(received);
            bool incremental = state.isTransferFinished(received);
            Require(incremental == stateless, "TransferState, byte by byte", received.size());
            Require(incremental == ReferenceFinished(received, stateless), "rules, byte by byte", received.size());
        }
    }

    std::string actual = text;
    std::string expected = text;
    bool split = splitData(actual);
    Require(split == (reference::splitData(expected) == reference::Split::Done), "splitData result", text.size());
    Require(actual == expected, "splitData text", text.size());
    return 0;
}
