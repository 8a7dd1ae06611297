// TransferState.cpp -- the completion check of one request, remembered across receives.
#include "TransferState.h"

#include "Logging.h"

using namespace framing;

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

bool TransferState::isTransferFinished(const std::string& text) {
    KV_TRACE_SCOPE("isTransferFinished");
    try {
        Verdict verdict = evaluate(text.data(), text.size());
        if (verdict == Verdict::LengthReached) KVLOG(5, "server has passed the required length");
        return verdict != Verdict::Incomplete;
    } catch (...) {
        KVLOG(5, "isTransferFinished: Unknown exception");
        return false;
    }
}

TransferState::Verdict TransferState::evaluate(const char* data, size_t size) {
    if (size < mSeen) reset();
    mSeen = size;

    if (!headerComplete()) {
        if (!mHeaderEnd.update(data, size, kHeaderEnd, kHeaderEndSize)) return Verdict::Incomplete;
        // The framing is decided by the header section alone, so it is read once, now.
        mHeader = HeaderSection::Read(data, mHeaderEnd.found);
        mChunkStart = mLineSearchFrom = bodyStart();
    }
    switch (mHeader.framing()) {
    case BodyFraming::None:
        return Verdict::NoBody;
    case BodyFraming::Chunked:
        return walkChunks(data, size);
    case BodyFraming::Length:
        break;
    }
    uint32_t length = static_cast<uint32_t>(mHeader.length);
    if (length != 0 && size - bodyStart() < length) return Verdict::Incomplete;
    return Verdict::LengthReached;
}

TransferState::Verdict TransferState::walkChunks(const char* data, size_t size) {
    for (;;) {
        if (mWalk == Walk::LastChunkSeen) return Verdict::LastChunkSeen;
        // A size line that reads as npos never becomes readable: the bytes that decide it are
        // all there already.
        if (mWalk == Walk::Unreadable) return Verdict::Incomplete;
        if (mChunkStart > size) return Verdict::Incomplete;  // the chunk has not fully arrived

        size_t chunkStart = static_cast<size_t>(mChunkStart);
        size_t lineEnd = findBytes(data, size, static_cast<size_t>(mLineSearchFrom), kLineEnd, kLineEndSize);
        if (lineEnd == notFound) {
            // Keep a last CR: the LF that completes it may be the next byte to arrive.
            if (size > chunkStart + 1) mLineSearchFrom = size - 1;
            return Verdict::Incomplete;
        }
        uint32_t chunkSize = readSizeText(data, chunkStart, lineEnd);
        if (chunkSize == npos) {
            mWalk = Walk::Unreadable;
            return Verdict::Incomplete;
        }
        if (chunkSize == 0) {
            mWalk = Walk::LastChunkSeen;
            return Verdict::LastChunkSeen;
        }
        mChunkStart = uint64_t(lineEnd) + kLineEndSize + chunkSize + kLineEndSize;
        mLineSearchFrom = mChunkStart;
    }
}
