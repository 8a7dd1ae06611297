// ListenerCounters.cpp -- the process's figures, taken from request outcomes: always on, atomics only.
#include "ListenerCounters.h"

#include "NeverDestroyed.h"

const unsigned ListenerCounters::kRefusalStatuses[] = {400, 403, 404, 411, 413, 501, 503};
const double ListenerCounters::kDeliveryBuckets[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                     0.1,   0.25,   0.5,   1,    2.5,   10};

namespace {
// Handlers may still record while the process exits and destroys its static objects.
NeverDestroyed<ListenerCounters> gCounters;

uint32_t MinuteNow() { return static_cast<uint32_t>(time(nullptr) / 60); }
}  // namespace

ListenerCounters& ListenerCounters::Instance() { return gCounters.get(); }

ListenerCounters::ListenerCounters() : mStartedAt(time(nullptr)) {
    for (auto& counter : mOutcomes) counter = 0;
    for (auto& counter : mRefusals) counter = 0;
    for (auto& counter : mBuckets) counter = 0;
    for (auto& slot : mMinutes) slot = 0;
}

const char* ListenerCounters::OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Delivered: return "delivered";
    case Outcome::DeliveryFailed: return "delivery_failed";
    case Outcome::ManagerNotCreated: return "manager_not_created";
    case Outcome::NotDelivered: return "not_delivered";
    case Outcome::Refused: return "refused";
    case Outcome::TimedOut: return "timed_out";
    case Outcome::Incomplete: return "incomplete";
    case Outcome::Probe: return "probe";
    case Outcome::PeerLimit: return "peer_limit";
    case Outcome::ClosedEarly: return "closed_early";
    case Outcome::ReceiveFailed: return "receive_failed";
    case Outcome::Ended: return "ended";
    case Outcome::WakeUp: return "wake_up";
    case Outcome::Exception: case Outcome::Count: break;
    }
    return "exception";
}

ListenerCounters::Outcome ListenerCounters::OutcomeOf(RequestResult result) {
    switch (result) {
    case RequestResult::Delivered: return Outcome::Delivered;
    case RequestResult::DeliveryFailed: return Outcome::DeliveryFailed;
    case RequestResult::NoEventManager: return Outcome::ManagerNotCreated;
    case RequestResult::NoMemory: case RequestResult::ComFailed: return Outcome::NotDelivered;
    case RequestResult::Answered: return Outcome::Probe;
    case RequestResult::Refused: return Outcome::Refused;
    case RequestResult::PeerLimit: return Outcome::PeerLimit;
    case RequestResult::TimedOut: return Outcome::TimedOut;
    case RequestResult::Incomplete: return Outcome::Incomplete;
    case RequestResult::ClosedEarly: return Outcome::ClosedEarly;
    case RequestResult::WakeUp: return Outcome::WakeUp;
    case RequestResult::ReceiveFailed: return Outcome::ReceiveFailed;
    case RequestResult::EndedByStop: case RequestResult::EndedAtExit: return Outcome::Ended;
    case RequestResult::Exception: break;
    }
    return Outcome::Exception;
}

void ListenerCounters::Record(const RequestOutcome& outcome) {
    const auto relaxed = std::memory_order_relaxed;
    mOutcomes[static_cast<size_t>(OutcomeOf(outcome.result))].fetch_add(1, relaxed);
    if (outcome.status >= 400) {
        for (size_t i = 0; i < kRefusalStatusCount; ++i) {
            if (kRefusalStatuses[i] == outcome.status) mRefusals[i].fetch_add(1, relaxed);
        }
    }
    mBytesReceived.fetch_add(outcome.bytesReceived, relaxed);
    if (!outcome.ReachedDelivery()) return;

    // A delivery was attempted: its time, and what health makes of it.
    double seconds = static_cast<double>(outcome.deliveryMs) / 1000.0;
    size_t bucket = 0;
    while (bucket < kDeliveryBucketCount && seconds > kDeliveryBuckets[bucket]) ++bucket;
    mBuckets[bucket].fetch_add(1, relaxed);
    mDeliveryMicros.fetch_add(outcome.deliveryMs * 1000, relaxed);
    uint64_t packed = (uint64_t(static_cast<uint8_t>(outcome.result)) << 32) | uint32_t(outcome.deliverResult) |
                      (uint64_t(1) << 40);
    mLastDelivery.store(packed, relaxed);
    if (outcome.result != RequestResult::Delivered) {
        mFailuresSinceSuccess.fetch_add(1, relaxed);
        return;
    }
    mFailuresSinceSuccess.store(0, relaxed);
    mLastSuccessAt.store(static_cast<int64_t>(time(nullptr)), relaxed);
    mBytesDelivered.fetch_add(outcome.bodyBytes, relaxed);

    // This minute's slot: started afresh by the first event of a new minute.
    uint32_t minute = MinuteNow();
    std::atomic<uint64_t>& slot = mMinutes[minute % 60];
    uint64_t seen = slot.load(relaxed);
    for (;;) {
        uint64_t next = (seen >> 32) == minute ? seen + 1 : (uint64_t(minute) << 32) | 1;
        if (slot.compare_exchange_weak(seen, next, relaxed)) break;
    }
}

ListenerCounters::Snapshot ListenerCounters::Take() const {
    Snapshot s;
    s.startedAt = mStartedAt;
    s.accepted = mAccepted.load();
    for (size_t i = 0; i < kOutcomes; ++i) s.outcomes[i] = mOutcomes[i].load();
    for (size_t i = 0; i < kRefusalStatusCount; ++i) s.refusals[i] = mRefusals[i].load();
    s.bytesReceived = mBytesReceived.load();
    s.bytesDelivered = mBytesDelivered.load();
    uint64_t running = 0;
    for (size_t i = 0; i <= kDeliveryBucketCount; ++i) {
        running += mBuckets[i].load();
        s.deliveryBuckets[i] = running;
    }
    s.deliveries = running;
    s.deliverySeconds = static_cast<double>(mDeliveryMicros.load()) / 1e6;
    uint32_t now = MinuteNow();
    for (uint32_t i = 0; i < 60; ++i) {
        uint32_t minute = now - 59 + i;
        uint64_t slot = mMinutes[minute % 60].load();
        s.perMinute[i] = (slot >> 32) == minute ? static_cast<uint32_t>(slot) : 0;
    }
    return s;
}

ListenerCounters::Health ListenerCounters::TakeHealth() const {
    Health h;
    uint64_t last = mLastDelivery.load();
    h.anyDelivery = (last >> 40) != 0;
    h.lastResult = static_cast<RequestResult>((last >> 32) & 0xFF);
    h.lastHr = static_cast<HRESULT>(static_cast<uint32_t>(last));
    h.lastSucceeded = h.anyDelivery && h.lastResult == RequestResult::Delivered;
    h.failuresSinceSuccess = mFailuresSinceSuccess.load();
    h.lastSuccessAt = static_cast<time_t>(mLastSuccessAt.load());
    return h;
}
