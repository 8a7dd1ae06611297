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

int32_t readDecimal(const char* begin, const char* end) {
    const char* p = begin;
    while (p < end && isRuntimeSpace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
    const uint32_t limit = 0x80000000u;
    uint32_t magnitude = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        uint64_t next = uint64_t(magnitude) * 10 + uint32_t(*p - '0');
        magnitude = next > limit ? limit : static_cast<uint32_t>(next);
    }
    if (negative) return magnitude >= limit ? INT32_MIN : -static_cast<int32_t>(magnitude);
    return magnitude >= limit ? INT32_MAX : static_cast<int32_t>(magnitude);
}

bool equalsIgnoringCase(const char* begin, const char* end, const char* lowerCaseWord) {
    for (const char* p = begin; p < end; ++p, ++lowerCaseWord) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if (*lowerCaseWord == '\0' || c != static_cast<unsigned char>(*lowerCaseWord)) return false;
    }
    return *lowerCaseWord == '\0';
}

void trimOptionalSpace(const char*& begin, const char*& end) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
}

}  // namespace framing
