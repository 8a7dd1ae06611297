// TransferState.cpp -- the completion check of one request, remembered across receives, and where its body lies.
#include "TransferState.h"

#include <string.h>

#include "Logging.h"

using namespace framing;

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// chunk-size [ chunk-ext ]: hexadecimal digits first, then at most blanks and an extension.
bool SizeLineWellFormed(const char* data, size_t start, size_t lineEnd) {
    size_t p = start;
    while (p < lineEnd && IsHexDigit(data[p])) ++p;
    if (p == start) return false;
    while (p < lineEnd && (data[p] == ' ' || data[p] == '\t')) ++p;
    return p == lineEnd || data[p] == ';';
}

}  // namespace

bool TransferState::MarkerSearch::update(const char* data, size_t size, const char* marker, size_t markerSize) {
    if (found != notFound) return true;
    found = findBytes(data, size, resumeAt, marker, markerSize);
    if (found != notFound) return true;
    // A marker may straddle the end of what has arrived: keep its possible beginning.
    size_t keep = markerSize - 1;
    if (size > keep && size - keep > resumeAt) resumeAt = size - keep;
    return false;
}

void TransferState::reset() { *this = TransferState(); }

bool TransferState::isTransferFinished(const char* data, size_t size) {
    KV_TRACE_SCOPE("isTransferFinished");
    try {
        Verdict verdict = evaluate(data, size);
        if (verdict == Verdict::LengthReached) KVLOG(5, "server has passed the required length");
        return verdict != Verdict::Incomplete;
    } catch (...) {
        KV_LOG_CAUGHT("isTransferFinished: Unknown exception");
        return false;
    }
}

void TransferState::refuse(unsigned status, const char* reason) {
    if (mIntake == Intake::Malformed) return;
    mIntake = Intake::Malformed;
    mRefusalStatus = status;
    mRefusalReason = reason;
}

TransferState::Verdict TransferState::evaluate(const char* data, size_t size) {
    if (size < mSeen) reset();
    mSeen = size;

    if (!headerComplete()) {
        bool found = mHeaderEnd.update(data, size, kHeaderEnd, kHeaderEndSize);
        checkHeaderBytes(data, found ? mHeaderEnd.found + kHeaderEndSize : size);
        if (!found) return Verdict::Incomplete;
        // The framing is decided by the header section alone, so it is read once, now.
        mHeader = HeaderSection::Read(data, mHeaderEnd.found);
        mChunkStart = mLineSearchFrom = bodyStart();
        checkHeaderSection();
    }
    Verdict verdict = Verdict::Incomplete;
    switch (mHeader.framing()) {
    case BodyFraming::None:
        verdict = Verdict::NoBody;
        break;
    case BodyFraming::Chunked:
        verdict = walkChunks(data, size);
        break;
    case BodyFraming::Length: {
        uint32_t length = static_cast<uint32_t>(mHeader.length);
        verdict = (length != 0 && size - bodyStart() < length) ? Verdict::Incomplete : Verdict::LengthReached;
        break;
    }
    }
    judge(verdict, data, size);
    return verdict;
}

void TransferState::checkHeaderBytes(const char* data, size_t end) {
    if (mIntake == Intake::Malformed) return;
    // The method: a token up to the first blank. A TLS handshake or binary noise shows at once.
    for (size_t i = mHeaderBytesChecked; !mMethodChecked && i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == ' ' && i > 0) {
            mMethodChecked = true;
        } else if (!IsTokenChar(c)) {
            refuse(400, "it does not begin with an HTTP method");
            return;
        }
    }
    // Lines end at CR LF only; a lone LF is a line end to some readers and not to others.
    for (size_t i = mHeaderBytesChecked; i < end;) {
        const void* lf = memchr(data + i, '\n', end - i);
        if (!lf) break;
        size_t at = static_cast<size_t>(static_cast<const char*>(lf) - data);
        if (at == 0 || data[at - 1] != '\r') {
            refuse(400, "a line of its header section ends in LF without CR");
            return;
        }
        i = at + 1;
    }
    mHeaderBytesChecked = end;
}

void TransferState::checkHeaderSection() {
    if (mIntake == Intake::Malformed) return;
    if (!mHeader.requestLineValid) return refuse(400, "its request line is not METHOD target HTTP/n.n");
    if (mHeader.bareLineFeed) return refuse(400, "a line of its header section ends in LF without CR");
    if (mHeader.method != Method::Other) return;
    if (mHeader.hasCoding) {
        if (mHeader.unknownCoding) return refuse(501, "it names a transfer coding other than chunked");
        if (!mHeader.onlyChunked) return refuse(400, "its transfer codings do not end in one chunked");
        return;
    }
    if (!mHeader.hasLength) return refuse(411, "it has neither a length nor chunked coding");
    if (!mHeader.lengthValid) return refuse(400, "its length is not a number, or its lengths differ");
    mBodyBytes = static_cast<uint32_t>(mHeader.length);
    mPieces.push_back({bodyStart(), static_cast<size_t>(mBodyBytes)});
}

void TransferState::judge(Verdict verdict, const char* data, size_t size) {
    if (verdict == Verdict::LastChunkSeen) mTrailerEnd.update(data, size, kHeaderEnd, kHeaderEndSize);
    if (mIntake != Intake::Incomplete) return;
    switch (verdict) {
    case Verdict::Incomplete:
        return;
    case Verdict::NoBody:
    case Verdict::LengthReached:
        mIntake = Intake::Whole;
        return;
    case Verdict::LastChunkSeen:
        // The body is known with the last chunk; the blank line that ends the trailer section may
        // still be on its way (see trailerComplete).
        mIntake = Intake::Whole;
        return;
    }
}

TransferState::Verdict TransferState::walkChunks(const char* data, size_t size) {
    for (;;) {
        if (mWalk == Walk::LastChunkSeen) return Verdict::LastChunkSeen;
        // A size line that reads as npos never becomes readable: the bytes that decide it are
        // all there already.
        if (mWalk == Walk::Unreadable) return Verdict::Incomplete;
        if (mChunkStart > size) return Verdict::Incomplete;  // the chunk has not fully arrived

        size_t chunkStart = static_cast<size_t>(mChunkStart);
        // The chunk before this size line must end in CR LF (looked at once, when it has arrived).
        if (mLineSearchFrom == mChunkStart && chunkStart > bodyStart() &&
            (data[chunkStart - 2] != '\r' || data[chunkStart - 1] != '\n'))
            refuse(400, "a chunk's data is not followed by CR LF");
        size_t lineEnd = findBytes(data, size, static_cast<size_t>(mLineSearchFrom), kLineEnd, kLineEndSize);
        if (lineEnd == notFound) {
            // Keep a last CR: the LF that completes it may be the next byte to arrive.
            if (size > chunkStart + 1) mLineSearchFrom = size - 1;
            return Verdict::Incomplete;
        }
        uint32_t chunkSize = readSizeText(data, chunkStart, lineEnd);
        if (chunkSize == npos || !SizeLineWellFormed(data, chunkStart, lineEnd))
            refuse(400, chunkSize == npos ? "a chunk size does not fit 32 bits" : "a chunk size line is not hexadecimal");
        if (chunkSize == npos) {
            mWalk = Walk::Unreadable;
            return Verdict::Incomplete;
        }
        if (chunkSize == 0) {
            mWalk = Walk::LastChunkSeen;
            // The last chunk's own line end may already be the blank line of an empty trailer.
            mTrailerEnd.resumeAt = lineEnd;
            return Verdict::LastChunkSeen;
        }
        mPieces.push_back({lineEnd + kLineEndSize, chunkSize});
        mBodyBytes += chunkSize;
        mChunkStart = uint64_t(lineEnd) + kLineEndSize + chunkSize + kLineEndSize;
        mLineSearchFrom = mChunkStart;
    }
}
