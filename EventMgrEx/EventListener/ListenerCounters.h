// ListenerCounters.h -- the process's figures, taken from request outcomes: always on, atomics only.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <string>

#include "RequestOutcome.h"

// One per module. Every connection's outcome is counted once (Record); connections are counted as
// they are accepted. Nothing here takes a lock: a counter is an atomic add, the events-per-minute
// ring a compare-and-swap on its current minute.
class ListenerCounters {
public:
    static ListenerCounters& Instance();

    // The figures' names in the exposition, in the order of this list.
    enum class Outcome {
        Delivered,
        DeliveryFailed,
        ManagerNotCreated,
        NotDelivered,  // no memory, or COM failed on the handler thread
        Refused,       // answered 4xx or 5xx (by status below)
        TimedOut,
        Incomplete,
        Probe,         // GET and HEAD: monitors, /health, /metrics, /status
        PeerLimit,
        ClosedEarly,
        ReceiveFailed,
        Ended,         // by a stop or the exit
        WakeUp,
        Exception,
        Count
    };
    static const char* OutcomeName(Outcome outcome);
    static Outcome OutcomeOf(RequestResult result);

    static const unsigned kRefusalStatuses[];  // 400, 403, 404, 411, 413, 501, 503
    static const size_t kRefusalStatusCount = 7;
    static const double kDeliveryBuckets[];    // upper bounds in seconds, +Inf implied
    static const size_t kDeliveryBucketCount = 12;

    void Accepted() { mAccepted.fetch_add(1, std::memory_order_relaxed); }
    void Record(const RequestOutcome& outcome);

    struct Snapshot {
        time_t startedAt;
        uint64_t accepted;
        uint64_t outcomes[static_cast<size_t>(Outcome::Count)];
        uint64_t refusals[kRefusalStatusCount];
        uint64_t bytesReceived;
        uint64_t bytesDelivered;
        uint64_t deliveryBuckets[kDeliveryBucketCount + 1];  // cumulative as the exposition wants them
        double deliverySeconds;                              // their sum
        uint64_t deliveries;
        uint32_t perMinute[60];  // events delivered in each of the last 60 minutes, the oldest first
    };
    Snapshot Take() const;

    // What health says: the last attempt to deliver (0: none yet), and how it ended.
    struct Health {
        bool anyDelivery;
        bool lastSucceeded;
        RequestResult lastResult;
        HRESULT lastHr;
        uint64_t failuresSinceSuccess;
        time_t lastSuccessAt;  // 0: never
    };
    Health TakeHealth() const;

    ListenerCounters();

private:
    static const size_t kOutcomes = static_cast<size_t>(Outcome::Count);
    const time_t mStartedAt;
    std::atomic<uint64_t> mAccepted{0};
    std::atomic<uint64_t> mOutcomes[kOutcomes];
    std::atomic<uint64_t> mRefusals[kRefusalStatusCount];
    std::atomic<uint64_t> mBytesReceived{0};
    std::atomic<uint64_t> mBytesDelivered{0};
    std::atomic<uint64_t> mBuckets[kDeliveryBucketCount + 1];  // not cumulative
    std::atomic<uint64_t> mDeliveryMicros{0};
    // Each minute's slot holds the minute (high 32 bits) and its count (low 32 bits).
    std::atomic<uint64_t> mMinutes[60];
    // Health: the last delivery's result and HRESULT packed, the failures since the last success.
    std::atomic<uint64_t> mLastDelivery{0};
    std::atomic<uint64_t> mFailuresSinceSuccess{0};
    std::atomic<int64_t> mLastSuccessAt{0};
};
