// StreamEntry.h -- one message on its way into the stream, with the fields it will carry and what became of it.
#pragma once

#include <string>

#include "FailureLog.h"

struct StreamEntry {
    // The entry's fields: "body", "received", "listener", "bytes" (the body's length) and "id".
    std::string id;        // the event's own, kept through fallback and replay (EventId)
    std::string body;
    std::string received;  // UTC, microseconds
    std::string listener;  // host name and listening ports

    bool added = false;      // the stream has it (added now, or found by its id)
    bool duplicate = false;  // it was there already: an earlier attempt had added it
    bool coolingOff = false; // not sent: Redis timed out a moment ago
    RedisError error;        // why it is not added
};
