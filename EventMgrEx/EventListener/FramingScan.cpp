// FramingScan.cpp -- byte-level readers shared by the framing functions and the incremental completion check.
#include "FramingScan.h"

#include <string.h>

#include <string_view>

namespace framing {

size_t findBytes(const char* data, size_t size, size_t from, const char* pattern, size_t patternSize) {
    if (from > size) return notFound;
    size_t at = std::string_view(data, size).find(std::string_view(pattern, patternSize), from);
    return at == std::string_view::npos ? notFound : at;
}

bool isRuntimeSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

namespace {

int hexDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

uint32_t readHexSize(const char* begin, const char* end) {
    const char* p = begin;
    while (p < end && isRuntimeSpace(static_cast<unsigned char>(*p))) ++p;
    uint32_t value = 0;
    for (; p < end; ++p) {
        int digit = hexDigit(static_cast<unsigned char>(*p));
        if (digit < 0) break;
        if (value > (npos >> 4)) return npos;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
}

uint32_t readSizeText(const char* data, size_t start, size_t lineEnd) {
    // Only the size line itself is searched for the extension: a ';' on a later line changes
    // nothing, and looking there would make every chunk cost the rest of the message.
    const void* semicolon = memchr(data + start, ';', lineEnd - start);
    const char* textEnd = semicolon ? static_cast<const char*>(semicolon) : data + lineEnd;
    return readHexSize(data + start, textEnd);
}

SizeLine readSizeLine(const char* data, size_t size, size_t start) {
    size_t lineEnd = findBytes(data, size, start, kLineEnd, kLineEndSize);
    if (lineEnd == notFound) return {npos, notFound};
    return {readSizeText(data, start, lineEnd), lineEnd};
}

void DecimalScan::restart(size_t at) {
    position = at;
    phase = Blank;
    negative = false;
    magnitude = 0;
}

void DecimalScan::advance(const char* data, size_t size) {
    const uint32_t limit = 0x80000000u;
    while (phase != Done && position < size) {
        unsigned char c = static_cast<unsigned char>(data[position]);
        if (phase == Blank) {
            if (c == '\r') {
                // A CR is white space unless it starts the line end; which one it is depends
                // on a byte that may not have arrived yet.
                if (position + 1 >= size) return;
                if (data[position + 1] == '\n') {
                    phase = Done;
                    return;
                }
                ++position;
            } else if (isRuntimeSpace(c)) {
                ++position;
            } else if (c == '+' || c == '-') {
                negative = (c == '-');
                phase = Digits;
                ++position;
            } else if (c >= '0' && c <= '9') {
                phase = Digits;
            } else {
                phase = Done;
            }
        } else {
            if (c < '0' || c > '9') {
                phase = Done;
                return;
            }
            uint64_t next = uint64_t(magnitude) * 10 + uint32_t(c - '0');
            magnitude = next > limit ? limit : static_cast<uint32_t>(next);
            ++position;
        }
    }
}

int32_t DecimalScan::value() const {
    if (negative) return magnitude >= 0x80000000u ? INT32_MIN : -static_cast<int32_t>(magnitude);
    return magnitude > 0x7FFFFFFFu ? INT32_MAX : static_cast<int32_t>(magnitude);
}

}  // namespace framing
