// ReferenceFraming.h -- a deliberately plain restatement of the framing rules, to check the real code against.
//
// Every call rescans and copies, exactly as the rules read, with the standard string's own
// search and erase and the C library's number conversion. It only differs from a literal
// reading where positions would wrap: they are 64 bits here, a chunk that runs past the text
// leaves the request incomplete, and a region that would end before it begins has no footer.
// Slow on purpose (quadratic over a request received piece by piece); used by the tests and
// the fuzz target only.
#pragma once

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#include <sstream>
#include <string>

namespace reference {

const uint64_t npos = 0xFFFFFFFFu;
const char kUpper[] = "\r\nCONTENT-LENGTH: ";
const char kMixed[] = "\r\nContent-Length: ";

inline size_t find(const std::string& text, const char* what, uint64_t from) {
    return from > text.size() ? std::string::npos : text.find(what, static_cast<size_t>(from));
}

inline bool isChunked(const std::string& text) {
    return text.find(kUpper) == std::string::npos && text.find(kMixed) == std::string::npos;
}

inline int32_t contentLength(const std::string& text) {
    size_t p = text.find(kUpper);
    if (p == std::string::npos) p = text.find(kMixed);
    if (p == std::string::npos) return 0;
    p += 18;
    size_t e = text.find("\r\n", p);
    std::string value = text.substr(p, e == std::string::npos ? std::string::npos : e - p);
    long long number = strtoll(value.c_str(), nullptr, 10);  // atoi's reading, saturated below
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// The value of the size line at `start`, or npos; 64 bits so that callers add without wrapping.
inline uint64_t findSize(uint64_t start, const std::string& text) {
    size_t e = find(text, "\r\n", start);
    if (e == std::string::npos) return npos;
    size_t s = find(text, ";", start);
    if (s != std::string::npos && s < e) e = s;
    std::string sizeText = text.substr(static_cast<size_t>(start), e - static_cast<size_t>(start));
    size_t i = 0;
    while (i < sizeText.size() && isspace(static_cast<unsigned char>(sizeText[i]))) ++i;
    std::string digits;
    while (i < sizeText.size() && isxdigit(static_cast<unsigned char>(sizeText[i]))) digits += sizeText[i++];
    if (digits.empty()) return 0;
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    if (digits.size() - first > 8) return npos;  // beyond 32 bits
    std::istringstream stream(digits);
    unsigned long long number = 0;
    stream >> std::hex >> number;
    return number;
}

inline bool isTransferFinished(const std::string& text) {
    size_t h = text.find("\r\n\r\n");
    if (h == std::string::npos) return false;
    uint64_t start = h + 4;
    if (isChunked(text)) {
        for (;;) {
            uint64_t n = findSize(start, text);
            if (n == npos) return false;
            if (n == 0) return true;
            size_t e = find(text, "\r\n", start);
            start = e + 2 + n + 2;
        }
    }
    uint32_t length = static_cast<uint32_t>(contentLength(text));
    return !(length != 0 && static_cast<uint64_t>(text.size() - (h + 4)) < length);
}

inline bool postProcessData(std::string& region) {
    uint64_t n = findSize(0, region);
    if (n == npos) return false;
    region.erase(0, region.find("\r\n") + 2);
    if (n == 0) {
        region.clear();
        return true;
    }
    uint64_t i = n;
    for (;;) {
        if (i > region.size()) return false;  // the string's out-of-range error
        region.erase(static_cast<size_t>(i), 2);
        n = findSize(i, region);
        if (n == npos) return false;
        if (n == 0) {
            region.erase(static_cast<size_t>(i));
            return true;
        }
        region.erase(static_cast<size_t>(i), region.find("\r\n", static_cast<size_t>(i)) + 2 - static_cast<size_t>(i));
        i += n;
    }
}

// How splitData ended, so that callers can tell the failures apart.
enum class Split { Done, NoHeader, NoFooter, Corrupted };

inline Split splitData(std::string& text) {
    size_t h = text.find("\r\n\r\n");
    if (!isChunked(text)) {
        uint32_t length = static_cast<uint32_t>(contentLength(text));
        if (h == std::string::npos) return Split::NoHeader;
        text = text.substr(h + 4, length);
        return Split::Done;
    }
    if (h == std::string::npos) return Split::NoHeader;
    size_t z = text.rfind("\r\n0");
    if (z == std::string::npos) return Split::NoFooter;
    size_t f = text.find("\r\n", z + 2);
    if (f == std::string::npos || f + 2 < h + 4) return Split::NoFooter;
    text = text.substr(h + 4, f + 2 - (h + 4));
    return postProcessData(text) ? Split::Done : Split::Corrupted;
}

}  // namespace reference
