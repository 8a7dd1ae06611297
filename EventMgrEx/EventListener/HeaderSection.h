// HeaderSection.h -- what a request's header section says about its body: method, length, transfer codings, expectation.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace framing {

enum class Method : uint8_t { Other, Get, Head };

// How the body of a request is framed.
enum class BodyFraming : uint8_t {
    Length,   // a Content-Length field gives its size
    Chunked,  // chunked transfer coding: the last coding is chunked, or no length is given
    None,     // GET and HEAD carry no body
};

// The framing fields of a header section. Only the header section is read -- the request line
// and the field lines up to the blank line -- so nothing in a body, in chunk data or in a trailer
// can change how a request is framed. Field names are matched without regard to case, and
// blanks or tabs may stand between the colon and the value.
// A character of an HTTP token (a method, a field name, a transfer coding, a chunk extension's name).
bool IsTokenChar(unsigned char c);

struct HeaderSection {
    Method method = Method::Other;
    bool hasLength = false;       // a Content-Length field was found
    int32_t length = 0;           // its value as atoi reads it; an all-capitals name decides among several
    bool chunkedLast = false;     // the last coding of Transfer-Encoding is chunked
    bool expectContinue = false;  // Expect: 100-continue

    // What a strict reader of the same lines also sees. The framing above stays as lenient as it
    // always was; the intake refuses what these flags find wrong instead of guessing.
    bool requestLineValid = false;  // METHOD SP target SP HTTP/d.d
    bool lengthValid = true;        // every length field is digits only, and all of them agree
    bool hasCoding = false;         // a Transfer-Encoding field was found
    bool onlyChunked = true;        // every coding named is chunked, once, and last
    bool unknownCoding = false;     // a coding other than chunked is named
    bool bareLineFeed = false;      // a line ends in LF without CR
    // Where the request target of a valid request line lies in the text (offset, length).
    uint32_t targetOffset = 0;
    uint32_t targetLength = 0;

    BodyFraming framing() const {
        if (method != Method::Other) return BodyFraming::None;
        return chunkedLast || !hasLength ? BodyFraming::Chunked : BodyFraming::Length;
    }

    // Reads the request line and the field lines of data[0, end): `end` is where the first
    // "\r\n\r\n" begins, or the size of the text while it has not arrived. Lines end at "\r\n";
    // the first one is the request line. One pass, no allocation.
    static HeaderSection Read(const char* data, size_t end);
};

}  // namespace framing
