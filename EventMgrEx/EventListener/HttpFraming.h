// HttpFraming.h -- recognising a complete HTTP request (length or chunked mode) and cutting it down to its body.
//
// The message text is everything received on a connection so far, any byte value included.
// Each function scans it from its start; none of them changes the caller's text except
// postProcessData and splitData, which cut it in place. Nothing is ever thrown to the caller:
// a failure is logged (level 5) and reported through the result.
#pragma once

#include <stdint.h>

#include <string>

#include "FramingScan.h"

// True when the text carries neither "\r\nCONTENT-LENGTH: " nor "\r\nContent-Length: "
// anywhere, headers or body: without a length header a request is read as chunked.
bool isChunkedTransfer(const std::string& text);

// The value of the length header, read as atoi reads it; the upper-case header wins over the
// mixed-case one. 0 when the text has no length header.
int32_t getContentLength(const std::string& text);

// The chunk size on the size line that starts at `start`, extension cut off; framing::npos when
// that line's "\r\n" has not arrived (or when it names more than 32 bits).
uint32_t findSize(uint32_t start, const std::string& text);

// Replaces the chunked data region (size lines, chunks, last-chunk line) by the chunks' data.
// On false the region holds the data joined so far followed by what was not yet read.
bool postProcessData(std::string& region);

// True when the text holds a whole request: the header section and then the declared length,
// or every chunk up to the last-chunk line.
bool isTransferFinished(const std::string& text);

// Replaces the text by the request's body. On false the text is left as the failed step left
// it: unchanged for a missing header end or last-chunk line, partly processed for corrupted
// chunk data.
bool splitData(std::string& text);
