// HttpFraming.cpp -- recognising a complete HTTP request (length or chunked mode, or no body) and cutting it down to its body.
#include "HttpFraming.h"

#include <string.h>

#include "Logging.h"

using namespace framing;

namespace {

size_t find(const std::string& text, size_t from, const char* pattern, size_t patternSize) {
    return findBytes(text.data(), text.size(), from, pattern, patternSize);
}

size_t findHeaderEnd(const std::string& text) { return find(text, 0, kHeaderEnd, kHeaderEndSize); }

// The size line at `start`, read inside findSize's own trace scope, so that the walks below
// leave the same trace as a call of findSize would, while keeping the line end they need next.
SizeLine tracedSizeLine(const std::string& text, size_t start) {
    KV_TRACE_SCOPE("findSize");
    return readSizeLine(text.data(), text.size(), start);
}

}  // namespace

HeaderSection readHeaderSection(const std::string& text) {
    size_t headerEnd = findHeaderEnd(text);
    return HeaderSection::Read(text.data(), headerEnd == notFound ? text.size() : headerEnd);
}

bool isChunkedTransfer(const std::string& text) {
    KV_TRACE_SCOPE("isChunkedTransfer");
    try {
        return readHeaderSection(text).framing() == BodyFraming::Chunked;
    } catch (...) {
        KV_LOG_CAUGHT("isChunkedTransfer: Unknown exception");
        return false;
    }
}

int32_t getContentLength(const std::string& text) {
    KV_TRACE_SCOPE("getContentLength");
    try {
        return readHeaderSection(text).length;
    } catch (...) {
        KV_LOG_CAUGHT("getContentLength: Unknown exception");
        return 0;
    }
}

uint32_t findSize(uint32_t start, const std::string& text) {
    KV_TRACE_SCOPE("findSize");
    uint32_t number = 0;
    try {
        number = readSizeLine(text.data(), text.size(), start).size;
    } catch (...) {
        KV_LOG_CAUGHT("findSize: Unknown exception");
    }
    return number;
}

bool postProcessData(std::string& region) {
    KV_TRACE_SCOPE("postProcessData");
    // The chunks' data is gathered in place at the front while the framing is read further
    // back, so each byte moves once: region = [0, joined) data, [read, size) not yet read.
    // Whatever way the loop ends, the bytes in between are dropped once at the end.
    size_t joined = 0;
    size_t read = 0;
    bool result = false;
    try {
        SizeLine line = tracedSizeLine(region, 0);
        if (line.size == npos) return false;
        read = line.lineEnd + kLineEndSize;
        if (line.size == 0) {
            region.clear();
            return true;
        }
        for (;;) {
            // A chunk that runs past the end: cutting after it would fall outside the text.
            // Sizes are compared, never added, so no size can wrap around to an earlier spot.
            if (line.size > region.size() - read) {
                KVLOG(5, "postProcessData: Unknown exception");
                break;
            }
            memmove(&region[0] + joined, region.data() + read, line.size);
            joined += line.size;
            read += line.size;
            // The two bytes that close the chunk's data are dropped unexamined.
            read += (region.size() - read < kLineEndSize) ? region.size() - read : kLineEndSize;
            line = tracedSizeLine(region, read);
            if (line.size == npos) break;
            if (line.size == 0) {
                region.resize(joined);
                return true;
            }
            read = line.lineEnd + kLineEndSize;
        }
    } catch (...) {
        KV_LOG_CAUGHT("postProcessData: Unknown exception");
    }
    region.erase(joined, read - joined);
    return result;
}

bool isTransferFinished(const std::string& text) {
    KV_TRACE_SCOPE("isTransferFinished");
    try {
        size_t headerEnd = findHeaderEnd(text);
        if (headerEnd == notFound) return false;
        HeaderSection header = HeaderSection::Read(text.data(), headerEnd);
        // 64 bits: a declared chunk size added to a position must not wrap to an earlier one.
        uint64_t start = uint64_t(headerEnd) + kHeaderEndSize;
        switch (header.framing()) {
        case BodyFraming::None:
            return true;
        case BodyFraming::Chunked:
            for (;;) {
                if (start > text.size()) return false;  // the chunk has not fully arrived
                SizeLine line = tracedSizeLine(text, static_cast<size_t>(start));
                if (line.size == npos) return false;
                if (line.size == 0) return true;
                start = uint64_t(line.lineEnd) + kLineEndSize + line.size + kLineEndSize;
            }
        case BodyFraming::Length:
            break;
        }
        uint32_t length = static_cast<uint32_t>(header.length);
        if (length != 0 && text.size() - start < length) return false;
        KVLOG(5, "server has passed the required length");
        return true;
    } catch (...) {
        KV_LOG_CAUGHT("isTransferFinished: Unknown exception");
        return false;
    }
}

bool splitData(std::string& text) {
    KV_TRACE_SCOPE("splitData");
    bool result = true;
    try {
        if (!isChunkedTransfer(text)) {
            uint32_t length = static_cast<uint32_t>(getContentLength(text));
            size_t headerEnd = findHeaderEnd(text);
            if (headerEnd == notFound) {
                KVLOG(5, "splitData error: no valid header found (chunked*)");
                return false;
            }
            if (HeaderSection::Read(text.data(), headerEnd).framing() == BodyFraming::None) length = 0;
            text.erase(0, headerEnd + kHeaderEndSize);
            if (text.size() > length) text.resize(length);
            return true;
        }
        size_t headerEnd = findHeaderEnd(text);
        if (headerEnd == notFound) {
            KVLOG(5, "splitData error: no valid header found (chunked*)");
            return false;
        }
        size_t lastChunk = text.rfind(kLastChunkStart);
        size_t footerEnd = lastChunk == std::string::npos
                               ? notFound
                               : find(text, lastChunk + kLineEndSize, kLineEnd, kLineEndSize);
        // A last-chunk line inside the header section ends no body: the region it would
        // delimit would end before it begins.
        if (footerEnd == notFound || footerEnd + kLineEndSize < headerEnd + kHeaderEndSize) {
            KVLOG(5, "splitData error: no valid footer found (chunked*)");
            return false;
        }
        text.resize(footerEnd + kLineEndSize);
        text.erase(0, headerEnd + kHeaderEndSize);
        if (!postProcessData(text)) {
            KVLOG(5, "splitData error: the data part seems to be corrupted (chunked)");
            result = false;
        }
    } catch (...) {
        KV_LOG_CAUGHT("splitData: Unknown exception");
        result = false;
    }
    return result;
}
