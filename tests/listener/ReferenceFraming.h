// ReferenceFraming.h -- a deliberately plain restatement of the framing rules, to check the real code against.
//
// Every call rescans and copies, exactly as the rules read, with the standard string's own
// search, split and erase and the C library's number conversion. It only differs from a literal
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
#include <vector>

namespace reference {

const uint64_t npos = 0xFFFFFFFFu;

inline size_t find(const std::string& text, const char* what, uint64_t from) {
    return from > text.size() ? std::string::npos : text.find(what, static_cast<size_t>(from));
}

inline std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

inline bool sameIgnoringCase(const std::string& text, const std::string& lowerCaseWord) {
    return text.size() == lowerCaseWord.size() && lower(text) == lowerCaseWord;
}

inline std::string trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(" \t") + 1 - b);
}

inline std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t next; (next = text.find(separator, at)) != std::string::npos; at = next + separator.size())
        parts.push_back(text.substr(at, next - at));
    parts.push_back(text.substr(at));
    return parts;
}

// atoi's reading, saturated to 32 bits (what the Windows runtime's atoi gives).
inline int32_t toInt(const std::string& value) {
    long long number = strtoll(value.c_str(), nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

enum class Framing { Length, Chunked, None };

struct Head {
    std::string method;
    bool hasLength = false;
    int32_t length = 0;
    bool chunkedLast = false;
    bool expectContinue = false;
    Framing framing = Framing::Chunked;
};

// The header section is the text up to its first CRLF CRLF (all of it while there is none):
// the request line, then field lines "name:value". Names in any case; of several length fields
// the first spelt CONTENT-LENGTH decides, else the first; Transfer-Encoding fields together
// form one comma-separated list whose last non-empty coding counts.
inline Head head(const std::string& text) {
    Head result;
    std::string section = text.substr(0, text.find("\r\n\r\n"));
    std::vector<std::string> lines = split(section, "\r\n");
    result.method = lines[0].substr(0, lines[0].find(' '));
    if (lines[0].find(' ') == std::string::npos) result.method.clear();
    bool capitals = false;
    std::vector<std::string> codings;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t colon = lines[i].find(':');
        if (colon == std::string::npos) continue;
        std::string name = lines[i].substr(0, colon);
        std::string value = lines[i].substr(colon + 1);
        if (sameIgnoringCase(name, "content-length")) {
            if (name == "CONTENT-LENGTH" && !capitals) {
                capitals = true;
                result.length = toInt(value);
            } else if (!result.hasLength) {
                result.length = toInt(value);
            }
            result.hasLength = true;
        } else if (sameIgnoringCase(name, "transfer-encoding")) {
            for (const std::string& coding : split(value, ","))
                if (!trim(coding).empty()) codings.push_back(trim(coding));
        } else if (sameIgnoringCase(name, "expect") && sameIgnoringCase(trim(value), "100-continue")) {
            result.expectContinue = true;
        }
    }
    result.chunkedLast = !codings.empty() && sameIgnoringCase(codings.back(), "chunked");
    if (result.method == "GET" || result.method == "HEAD")
        result.framing = Framing::None;
    else if (result.chunkedLast || !result.hasLength)
        result.framing = Framing::Chunked;
    else
        result.framing = Framing::Length;
    return result;
}

inline bool isChunked(const std::string& text) { return head(text).framing == Framing::Chunked; }

inline int32_t contentLength(const std::string& text) { return head(text).length; }

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

// `fields` is head(text): a caller that asks about several texts with the same header section
// may read it once.
inline bool isTransferFinished(const std::string& text, const Head& fields) {
    size_t h = text.find("\r\n\r\n");
    if (h == std::string::npos) return false;
    if (fields.framing == Framing::None) return true;
    uint64_t start = h + 4;
    if (fields.framing == Framing::Chunked) {
        for (;;) {
            uint64_t n = findSize(start, text);
            if (n == npos) return false;
            if (n == 0) return true;
            size_t e = find(text, "\r\n", start);
            start = e + 2 + n + 2;
        }
    }
    uint32_t length = static_cast<uint32_t>(fields.length);
    return !(length != 0 && static_cast<uint64_t>(text.size() - (h + 4)) < length);
}

inline bool isTransferFinished(const std::string& text) { return isTransferFinished(text, head(text)); }

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
    Head fields = head(text);
    if (fields.framing != Framing::Chunked) {
        uint32_t length = fields.framing == Framing::None ? 0 : static_cast<uint32_t>(fields.length);
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
