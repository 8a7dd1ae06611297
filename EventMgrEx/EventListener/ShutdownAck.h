// ShutdownAck.h -- the module-wide slot of the event with which a handler acknowledges a stop.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

// A stop arms a fresh event and waits on it; the handler that receives the wake-up message
// signals whatever event the slot holds. Events are shared: the slot and every stop waiting on
// one keep it alive, and it is closed when the last of them lets go, so an event is never
// signalled after it was closed and none is left behind.
class ShutdownAck {
public:
    using Event = std::shared_ptr<void>;

    // Puts a new manual-reset event into the slot and returns it (null when none could be made;
    // the slot then stays empty).
    Event Arm();
    // Signals the event in the slot, if any.
    void Signal();
    // Waits up to timeoutMs for an armed event; true when it was signalled.
    static bool Wait(const Event& event, DWORD timeoutMs);
    // Empties the slot (module teardown).
    void Clear();

private:
    std::mutex mLock;
    Event mCurrent;
};

// Never destroyed: a handler may signal it while the process exits.
extern ShutdownAck& gShutdownAck;
