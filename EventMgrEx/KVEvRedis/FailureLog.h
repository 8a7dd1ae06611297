// FailureLog.h -- failures of the Redis event manager by kind: counted, and said at most once per kind every ten seconds.
#pragma once

#include <windows.h>

#include <string>

// What went wrong on the way into the stream. A kind's counter is a metric; its lines are
// throttled, so that a Redis refusing every message (OOM, a hang) costs one line per kind and
// interval, with the count of those left out, instead of one per message.
enum class Failure {
    kResolve,         // the host name did not resolve in time
    kConnect,         // no connection (refused, unreachable, no primary known)
    kTimeout,         // no progress within timeoutMs
    kBroken,          // the connection broke
    kTls,             // handshake, certificate or name check
    kAuth,            // AUTH or SELECT refused
    kRefused,         // an error answer (OOM, LOADING, WRONGTYPE, ...)
    kReadOnly,        // a primary that has become a replica
    kNotReplicated,   // WAIT saw fewer replicas than minReplicas
    kFallback,        // the fallback folder did not take a message
    kLost,            // a message neither Redis nor a fallback folder took
    kCount
};

// A failure and Redis's (or the system's) words for it.
struct RedisError {
    Failure kind = Failure::kConnect;
    std::string text;
};

namespace FailureLog {

// Counts one failure and writes `line` (under the level given) unless a line of the same kind
// was written in the last ten seconds; then the next line written says how many were left out.
void Note(Failure kind, BYTE level, const std::string& line);
unsigned long long Count(Failure kind);
// The label of a kind in the metrics: "timeout", "refused", ...
const char* Label(Failure kind);

}  // namespace FailureLog
