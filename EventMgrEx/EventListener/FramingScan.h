// FramingScan.h -- byte-level readers shared by the framing functions and the incremental completion check.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace framing {

// A failed search or an unreadable size line, as the framing reports it.
constexpr uint32_t npos = 0xFFFFFFFFu;
// Our own "not found" for positions held in size_t.
constexpr size_t notFound = static_cast<size_t>(-1);

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr size_t kHeaderEndSize = sizeof(kHeaderEnd) - 1;
constexpr char kLineEnd[] = "\r\n";
constexpr size_t kLineEndSize = sizeof(kLineEnd) - 1;
constexpr char kLastChunkStart[] = "\r\n0";
constexpr size_t kLastChunkStartSize = sizeof(kLastChunkStart) - 1;

// First occurrence of `pattern` in data[from, size); notFound when there is none (also when
// `from` lies beyond the end).
size_t findBytes(const char* data, size_t size, size_t from, const char* pattern, size_t patternSize);

// The white space that the C runtime skips in front of a number: blank, \t, \n, \v, \f, \r.
bool isRuntimeSpace(unsigned char c);

// Reads a chunk size from the size text [begin, end) the way a hexadecimal text stream does:
// white space skipped, hexadecimal digits up to the first other byte, 0 when there are none.
// A number beyond 32 bits reads as npos, as the stream's overflow gives its maximum, so a
// size that cannot fit is never mistaken for a smaller one.
uint32_t readHexSize(const char* begin, const char* end);

// The chunk size on the size line [start, lineEnd), extension after ';' cut off.
uint32_t readSizeText(const char* data, size_t start, size_t lineEnd);

// The size line that starts at `start`: its value (npos when its line end has not arrived) and
// the position of that line end. The extension after ';' is cut off.
struct SizeLine {
    uint32_t size;
    size_t lineEnd;
};
SizeLine readSizeLine(const char* data, size_t size, size_t start);

// Reads a number from [begin, end) the way atoi does: white space, an optional sign, digits up
// to the first other byte, 0 when there are none. Out-of-range values saturate to the 32-bit
// limits, as the Windows runtime's atoi does.
int32_t readDecimal(const char* begin, const char* end);

// True when [begin, end) is `lowerCaseWord` in any mix of cases.
bool equalsIgnoringCase(const char* begin, const char* end, const char* lowerCaseWord);

// [begin, end) without the optional white space (blanks and tabs) at either side.
void trimOptionalSpace(const char*& begin, const char*& end);

}  // namespace framing
