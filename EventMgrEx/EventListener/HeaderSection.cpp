// HeaderSection.cpp -- what a request's header section says about its body: method, length, transfer codings, expectation.
#include "HeaderSection.h"

#include <string.h>

#include "FramingScan.h"

namespace framing {

namespace {

bool StartsWith(const char* begin, const char* end, const char* word) {
    size_t length = strlen(word);
    return size_t(end - begin) >= length && memcmp(begin, word, length) == 0;
}

// The last non-empty element of a comma-separated list, blanks and tabs trimmed; false when
// every element is empty.
bool LastListElement(const char* begin, const char* end, const char** elementBegin, const char** elementEnd) {
    const char* stop = end;
    while (stop > begin) {
        const char* start = stop;
        while (start > begin && start[-1] != ',') --start;
        const char* b = start;
        const char* e = stop;
        trimOptionalSpace(b, e);
        if (b < e) {
            *elementBegin = b;
            *elementEnd = e;
            return true;
        }
        stop = start > begin ? start - 1 : begin;
    }
    return false;
}

// METHOD SP request-target SP HTTP/d.d: anything else (a TLS handshake, a stray line of text) is
// not a request we can answer sensibly.
bool RequestLineValid(const char* begin, const char* end, HeaderSection& section) {
    const char* p = begin;
    while (p < end && IsTokenChar(static_cast<unsigned char>(*p))) ++p;
    if (p == begin || p == end || *p != ' ') return false;
    const char* target = ++p;
    while (p < end && static_cast<unsigned char>(*p) > ' ' && *p != 0x7F) ++p;
    if (p == target || p == end || *p != ' ') return false;
    section.targetOffset = static_cast<uint32_t>(target - begin);
    section.targetLength = static_cast<uint32_t>(p - target);
    ++p;
    return end - p == 8 && memcmp(p, "HTTP/", 5) == 0 && p[5] >= '0' && p[5] <= '9' && p[6] == '.' && p[7] >= '0' &&
           p[7] <= '9';
}

// A length value as the strict reader takes it: digits only, optional blanks around them.
bool DigitsOnly(const char* begin, const char* end, uint64_t* value) {
    trimOptionalSpace(begin, end);
    if (begin == end) return false;
    uint64_t n = 0;
    for (const char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + uint64_t(*p - '0');
        if (n > 0xFFFFFFFFull) return false;
    }
    *value = n;
    return true;
}

// Looks at every coding of a Transfer-Encoding list: chunked must come once and last.
void ReadCodings(const char* begin, const char* end, HeaderSection& section, bool& chunkedSeen) {
    const char* element = begin;
    for (const char* p = begin;; ++p) {
        if (p == end || *p == ',') {
            const char* b = element;
            const char* e = p;
            trimOptionalSpace(b, e);
            if (b < e) {
                const char* semicolon = static_cast<const char*>(memchr(b, ';', size_t(e - b)));
                if (semicolon) e = semicolon;
                trimOptionalSpace(b, e);
                if (equalsIgnoringCase(b, e, "chunked")) {
                    if (chunkedSeen) section.onlyChunked = false;
                    chunkedSeen = true;
                } else {
                    section.unknownCoding = true;
                    section.onlyChunked = false;
                }
            }
            if (p == end) return;
            element = p + 1;
        }
    }
}

}  // namespace

bool IsTokenChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

HeaderSection HeaderSection::Read(const char* data, size_t end) {
    HeaderSection section;
    const char* const limit = data + end;
    const char* line = data;
    size_t first = findBytes(data, end, 0, kLineEnd, kLineEndSize);
    const char* lineEnd = first == notFound ? limit : data + first;  // none: the request line is all there is
    // Methods are case-sensitive tokens ended by a blank.
    if (StartsWith(line, lineEnd, "GET ")) section.method = Method::Get;
    if (StartsWith(line, lineEnd, "HEAD ")) section.method = Method::Head;
    section.requestLineValid = RequestLineValid(line, lineEnd, section);
    // Lines end at CR LF only: a lone LF is a line end to some readers and not to others.
    const void* lineFeed = memchr(data, '\n', end);
    for (const char* lf = static_cast<const char*>(lineFeed); lf; ) {
        if (lf == data || lf[-1] != '\r') {
            section.bareLineFeed = true;
            break;
        }
        lf = static_cast<const char*>(memchr(lf + 1, '\n', size_t(limit - lf - 1)));
    }

    bool upperCaseLength = false;
    bool chunkedSeen = false;
    uint64_t firstLength = 0;
    while (lineEnd < limit) {
        line = lineEnd + kLineEndSize;
        size_t next = findBytes(data, end, size_t(line - data), kLineEnd, kLineEndSize);
        lineEnd = next == notFound ? limit : data + next;
        const char* colon = static_cast<const char*>(memchr(line, ':', size_t(lineEnd - line)));
        if (!colon) continue;
        const char* value = colon + 1;
        if (equalsIgnoringCase(line, colon, "content-length")) {
            // Of several length fields the first one spelt in capitals decides, else the first.
            bool capitals = StartsWith(line, colon, "CONTENT-LENGTH");
            if (!section.hasLength || (capitals && !upperCaseLength)) section.length = readDecimal(value, lineEnd);
            uint64_t strict = 0;
            if (!DigitsOnly(value, lineEnd, &strict) || (section.hasLength && strict != firstLength))
                section.lengthValid = false;
            if (!section.hasLength) firstLength = strict;
            section.hasLength = true;
            upperCaseLength = upperCaseLength || capitals;
        } else if (equalsIgnoringCase(line, colon, "transfer-encoding")) {
            // Several fields make one list: the last coding of the last field that names one.
            const char* coding;
            const char* codingEnd;
            if (LastListElement(value, lineEnd, &coding, &codingEnd))
                section.chunkedLast = equalsIgnoringCase(coding, codingEnd, "chunked");
            section.hasCoding = true;
            // A chunked that is not the last coding is followed by another one.
            if (chunkedSeen) section.onlyChunked = false;
            ReadCodings(value, lineEnd, section, chunkedSeen);
        } else if (equalsIgnoringCase(line, colon, "expect")) {
            const char* b = value;
            const char* e = lineEnd;
            trimOptionalSpace(b, e);
            if (equalsIgnoringCase(b, e, "100-continue")) section.expectContinue = true;
        }
    }
    if (section.hasCoding && !chunkedSeen) section.onlyChunked = false;
    return section;
}

}  // namespace framing
