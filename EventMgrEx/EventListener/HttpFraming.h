// HttpFraming.h -- recognising a complete HTTP request (length or chunked mode, or no body) and cutting it down to its body.
//
// The message text is everything received on a connection so far, any byte value included.
// Each function scans it from its start; none of them changes the caller's text except
// postProcessData and splitData, which cut it in place. Nothing is ever thrown to the caller:
// a failure is logged (level 5) and reported through the result.
//
// How a request is framed is read from its header section only (up to the first "\r\n\r\n";
// the whole text while that has not arrived): see HeaderSection.
#pragma once

#include <stdint.h>

#include <string>

#include "FramingScan.h"
#include "HeaderSection.h"

// The framing fields of the text's header section.
framing::HeaderSection readHeaderSection(const std::string& text);

// True when the request is chunked: Transfer-Encoding ends in chunked, or no length field is
// given (and the method is not GET or HEAD, which have no body).
bool isChunkedTransfer(const std::string& text);

// The value of the length field, read as atoi reads it; a name in capitals wins over other
// spellings. 0 when the header section has no length field.
int32_t getContentLength(const std::string& text);

// The chunk size on the size line that starts at `start`, extension cut off; framing::npos when
// that line's "\r\n" has not arrived (or when it names more than 32 bits).
uint32_t findSize(uint32_t start, const std::string& text);

// Replaces the chunked data region (size lines, chunks, last-chunk line) by the chunks' data.
// On false the region holds the data joined so far followed by what was not yet read.
bool postProcessData(std::string& region);

// True when the text holds a whole request: the header section and then the declared length,
// or every chunk up to the last-chunk line; for GET and HEAD the header section alone.
bool isTransferFinished(const std::string& text);

// Replaces the text by the request's body (empty for GET and HEAD). On false the text is left
// as the failed step left it: unchanged for a missing header end or last-chunk line, partly
// processed for corrupted chunk data.
bool splitData(std::string& text);
