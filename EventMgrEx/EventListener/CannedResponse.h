// CannedResponse.h -- what the listener answers: the fixed HTTP 200 SOAP DeliverResponse, and the few other answers of its intake.
#pragma once

#include <string>

// Sent unchanged for every delivered request, up to its terminating NUL (609 bytes: a 149-byte
// header section and a 460-byte body whose length line 5 declares).
extern const char kCannedResponse[];

// The interim answer to "Expect: 100-continue" once the header section is in and within the limit.
extern const char kContinueResponse[];

// A request larger than the limit: refused, never delivered.
extern const char kTooLargeResponse[];

// The answer to GET and HEAD, which monitors and load balancers use to check the port: 200 with a
// one-line text naming the listener and its port (HEAD: the header section only).
std::string StatusResponse(unsigned port, bool withBody);
