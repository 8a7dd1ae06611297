// CannedResponse.h -- the fixed HTTP 200 SOAP DeliverResponse sent for every request.
#pragma once

// Sent unchanged, up to its terminating NUL (609 bytes: a 149-byte header section and a 460-byte
// body whose length line 5 declares).
extern const char kCannedResponse[];
