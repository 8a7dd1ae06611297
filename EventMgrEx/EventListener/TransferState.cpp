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

    if (!mHeaderEnd.update(data, size, kHeaderEnd, kHeaderEndSize)) return Verdict::Incomplete;
    uint64_t bodyStart = uint64_t(mHeaderEnd.found) + kHeaderEndSize;
    if (mChunkStart == 0) mChunkStart = mLineSearchFrom = bodyStart;

    // A length header switches to length mode for good, wherever and whenever it turns up; the
    // chunk walk is then never needed again.
    if (!lengthMode(data, size)) return walkChunks(data, size);

    size_t marker = mUpperLength.found != notFound ? mUpperLength.found : mMixedLength.found;
    if (marker != mValueMarker) {
        mValueMarker = marker;
        mValue.restart(marker + kLengthMarkerSize);
    }
    mValue.advance(data, size);
    uint32_t length = static_cast<uint32_t>(mValue.value());
    if (length != 0 && size - bodyStart < length) return Verdict::Incomplete;
    return Verdict::LengthReached;
}

bool TransferState::lengthMode(const char* data, size_t size) {
    // Once the upper-case header is there the mixed-case one no longer matters, so its search
    // is not continued.
    if (mUpperLength.update(data, size, kUpperLengthMarker, kLengthMarkerSize)) return true;
    return mMixedLength.update(data, size, kMixedLengthMarker, kLengthMarkerSize);
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
