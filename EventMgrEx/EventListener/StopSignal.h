// StopSignal.h -- a socket that turns readable for good once the signal is raised, for waits that watch a connection beside it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>

#include "UniqueHandle.h"

// Connections wait for their bytes with select(); raising the signal makes its socket readable
// (end of stream), so every wait that has it in its set, now or later, returns at once. One
// signal per run of the listener: whoever waits on it holds a reference, and its sockets are
// closed only when the last one lets go, never under a wait.
class StopSignal {
public:
    // A new signal, not raised; null when no socket pair could be made (waits then fall back to
    // looking at Raised() between bounded waits).
    static std::shared_ptr<StopSignal> Make();

    void Raise();
    bool Raised() const { return mRaised.load(std::memory_order_acquire); }
    // The socket to add to a select() read set; INVALID_SOCKET when there is none.
    SOCKET WaitSocket() const { return mWaitEnd.get(); }

private:
    StopSignal() = default;
    UniqueSocket mWaitEnd;
    UniqueSocket mRaiseEnd;
    std::atomic<bool> mRaised{false};
};
