// CannedResponse.h -- what the listener answers: the fixed HTTP 200 SOAP DeliverResponse, and the few other answers of its intake.
#pragma once

#include <string>

// Sent unchanged for every delivered request, up to its terminating NUL (628 bytes: a 168-byte
// header section that says the connection closes after it, and a 460-byte body whose length line
// declares).
extern const char kCannedResponse[];

// The interim answer to "Expect: 100-continue" once the header section is in and within the limit.
extern const char kContinueResponse[];

// What a refused request gets: the status, its reason phrase and a one-line text body saying why
// (`reason`); 503 also says when to try again.
std::string RefusalResponse(unsigned status, const char* reason);
const char* StatusText(unsigned status);
const unsigned kRetryAfterSeconds = 5;

// The line that names the listener and its port, first in every answer to a port check.
std::string StatusBody(unsigned port);
