// FailureLog.cpp -- counting failures by kind and throttling their lines.
#include "FailureLog.h"

#include <atomic>
#include <mutex>

#include "Logging.h"
#include "NeverDestroyed.h"

namespace {

const ULONGLONG kIntervalMs = 10000;
const size_t kKinds = static_cast<size_t>(Failure::kCount);

struct Throttle {
    std::mutex lock;
    std::atomic<unsigned long long> counts[kKinds] = {};
    ULONGLONG writtenAt[kKinds] = {};
    bool written[kKinds] = {};
    unsigned long long leftOut[kKinds] = {};
};
NeverDestroyed<Throttle> gThrottle;

}  // namespace

namespace FailureLog {

void Note(Failure kind, BYTE level, const std::string& line) {
    const size_t k = static_cast<size_t>(kind);
    Throttle& t = gThrottle.get();
    t.counts[k].fetch_add(1, std::memory_order_relaxed);
    unsigned long long leftOut = 0;
    {
        std::lock_guard<std::mutex> hold(t.lock);
        const ULONGLONG now = GetTickCount64();
        if (t.written[k] && now - t.writtenAt[k] < kIntervalMs) {
            ++t.leftOut[k];
            return;
        }
        t.written[k] = true;
        t.writtenAt[k] = now;
        leftOut = t.leftOut[k];
        t.leftOut[k] = 0;
    }
    if (leftOut > 0) {
        KVLOG(level, "%s (and %llu more like it, left out of the log, in the last %lu s)", line.c_str(), leftOut,
              static_cast<unsigned long>(kIntervalMs / 1000));
    } else {
        KVLOG(level, "%s", line.c_str());
    }
}

unsigned long long Count(Failure kind) { return gThrottle.get().counts[static_cast<size_t>(kind)].load(); }

const char* Label(Failure kind) {
    switch (kind) {
        case Failure::kResolve: return "resolve";
        case Failure::kConnect: return "connect";
        case Failure::kTimeout: return "timeout";
        case Failure::kBroken: return "broken";
        case Failure::kTls: return "tls";
        case Failure::kAuth: return "auth";
        case Failure::kRefused: return "refused";
        case Failure::kReadOnly: return "readonly";
        case Failure::kNotReplicated: return "not_replicated";
        case Failure::kFallback: return "fallback";
        case Failure::kLost: return "lost";
        case Failure::kCount: break;
    }
    return "other";
}

}  // namespace FailureLog
