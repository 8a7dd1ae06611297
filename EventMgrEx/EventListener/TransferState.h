// TransferState.h -- the completion check of one request, remembered across receives, and where its body lies.
//
// The connection handler appends every received piece to one text and asks after each piece.
// The answers of isTransferFinished are those of the stateless isTransferFinished on the text as
// it stands, but instead of scanning it again from its start the object remembers what earlier
// calls learnt: how far the search for the header end has got, what the header section said once
// it was complete (it is read once), and which size line the chunk walk waits for. Each search
// resumes where it stopped, backed up only by the bytes a marker could straddle, so the whole
// request costs time in proportion to its length.
//
// Beside that lenient answer it keeps a strict one for the intake: a request is whole only when
// its header section is well formed and its body is exactly what it declares (the whole length,
// or every chunk with its CR LF up to the last chunk); what
// could never become such a request is malformed at once, with the status to answer. On the way
// it records where the body's bytes are, so that cutting the text down to the body needs no
// second parse.
//
// The text may only grow between calls (bytes appended at its end). A text shorter than the
// last one is taken as a new request and read from its start.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "FramingScan.h"
#include "HeaderSection.h"

class TransferState {
public:
    enum class Intake { Incomplete, Whole, Malformed };

    // True when `text` holds a whole request; logs and traces as isTransferFinished does.
    bool isTransferFinished(const std::string& text);
    // Forgets everything learnt: the next call reads its text from the start.
    void reset();

    // The strict verdict on the text of the last isTransferFinished call.
    Intake intake() const { return mIntake; }
    // For a malformed request: the status to answer (400, 411 or 501) and why, in a few words.
    unsigned refusalStatus() const { return mRefusalStatus; }
    const char* refusalReason() const { return mRefusalReason; }
    // Where the body of a whole request lies in the text of the last call, piece by piece in
    // order (one piece with a length, one per chunk, none for GET and HEAD): read it from there,
    // nothing needs moving or parsing again.
    struct Piece {
        size_t offset;
        size_t size;
    };
    const std::vector<Piece>& bodyPieces() const { return mPieces; }
    // The body's size as far as it is known: the declared length, or the chunks' data so far.
    uint64_t bodySize() const { return mBodyBytes; }
    // For a chunked request: true once the blank line that ends its trailer section has arrived.
    // Until then the peer may still be sending it, and closing at once could reset the connection
    // under our answer.
    bool trailerComplete() const { return mTrailerEnd.found != framing::notFound; }

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
    void checkHeaderBytes(const char* data, size_t size);
    void checkHeaderSection();
    void judge(Verdict verdict, const char* data, size_t size);
    void refuse(unsigned status, const char* reason);

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

    // The strict reading.
    Intake mIntake = Intake::Incomplete;
    unsigned mRefusalStatus = 0;
    const char* mRefusalReason = "";
    size_t mHeaderBytesChecked = 0;  // the bytes looked at for a bare LF or a bad method
    bool mMethodChecked = false;
    std::vector<Piece> mPieces;      // the body's bytes, in order
    uint64_t mBodyBytes = 0;
    MarkerSearch mTrailerEnd;        // the blank line that ends the trailer section
};
