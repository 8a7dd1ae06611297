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

}  // namespace

HeaderSection HeaderSection::Read(const char* data, size_t end) {
    HeaderSection section;
    const char* const limit = data + end;
    const char* line = data;
    size_t first = findBytes(data, end, 0, kLineEnd, kLineEndSize);
    const char* lineEnd = first == notFound ? limit : data + first;  // none: the request line is all there is
    // Methods are case-sensitive tokens ended by a blank.
    if (StartsWith(line, lineEnd, "GET ")) section.method = Method::Get;
    if (StartsWith(line, lineEnd, "HEAD ")) section.method = Method::Head;

    bool upperCaseLength = false;
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
            section.hasLength = true;
            upperCaseLength = upperCaseLength || capitals;
        } else if (equalsIgnoringCase(line, colon, "transfer-encoding")) {
            // Several fields make one list: the last coding of the last field that names one.
            const char* coding;
            const char* codingEnd;
            if (LastListElement(value, lineEnd, &coding, &codingEnd))
                section.chunkedLast = equalsIgnoringCase(coding, codingEnd, "chunked");
        } else if (equalsIgnoringCase(line, colon, "expect")) {
            const char* b = value;
            const char* e = lineEnd;
            trimOptionalSpace(b, e);
            if (equalsIgnoringCase(b, e, "100-continue")) section.expectContinue = true;
        }
    }
    return section;
}

}  // namespace framing
