// EventId.h -- an id for each event, unique across listeners, processes and restarts.
#pragma once

#include <string>

namespace EventId {

// 32 lower-case hex digits: 64 random bits drawn once per process (so no other process, here or
// on another host, shares them) and a 64-bit count of the ids this process has made.
std::string Next();

}  // namespace EventId
