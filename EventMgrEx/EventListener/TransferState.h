// TransferState.h -- the completion check of one request, remembered across receives.
//
// The connection handler appends every received piece to one text and asks after each piece.
// The answers are those of isTransferFinished on the text as it stands, but instead of scanning
// it again from its start the object remembers what earlier calls learnt: how far the search
// for the header end has got, what the header section said once it was complete (it is read
// once), and which size line the chunk walk waits for. Each search resumes where it stopped,
// backed up only by the bytes a marker could straddle, so the whole request costs time in
// proportion to its length.
//
// The text may only grow between calls (bytes appended at its end). A text shorter than the
// last one is taken as a new request and read from its start.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "FramingScan.h"
#include "HeaderSection.h"

class TransferState {
public:
    // True when `text` holds a whole request; logs and traces as isTransferFinished does.
    bool isTransferFinished(const std::string& text);
    // Forgets everything learnt: the next call reads its text from the start.
    void reset();

    // True once the last call found the end of the header section.
    bool headerComplete() const { return mHeaderEnd.found != framing::notFound; }
    // What the header section says; meaningful once headerComplete().
    const framing::HeaderSection& header() const { return mHeader; }
    // Where the body begins (just past the blank line); meaningful once headerComplete().
    size_t bodyStart() const { return mHeaderEnd.found + framing::kHeaderEndSize; }

private:
    enum class Verdict { Incomplete, LengthReached, LastChunkSeen, NoBody };
    enum class Walk { Walking, LastChunkSeen, Unreadable };

    Verdict evaluate(const char* data, size_t size);
    Verdict walkChunks(const char* data, size_t size);

    // A marker's first occurrence, or how far the search for it has got.
    struct MarkerSearch {
        size_t found = framing::notFound;
        size_t resumeAt = 0;
        bool update(const char* data, size_t size, const char* marker, size_t markerSize);
    };

    size_t mSeen = 0;
    MarkerSearch mHeaderEnd;
    framing::HeaderSection mHeader;
    // The chunk walk: the size line it waits for, and how far its line end has been searched.
    // 64 bits, since a declared size is added to a position.
    Walk mWalk = Walk::Walking;
    uint64_t mChunkStart = 0;
    uint64_t mLineSearchFrom = 0;
};
