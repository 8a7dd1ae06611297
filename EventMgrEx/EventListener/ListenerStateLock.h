// ListenerStateLock.h -- the lock and state machine that serialise Start and Stop.
#pragma once

#include <windows.h>

enum ListenerState : LONG {
    Stopped = 0,
    Stopping = 1,
    Starting = 2,
    Started = 3,
};

// A re-entrant critical section and the listener's state. WaitAndLock returns with the section
// held once no Start or Stop is half-way; the holder reads and sets the state freely.
class ListenerStateLock {
public:
    ListenerStateLock();
    ~ListenerStateLock();
    ListenerStateLock(const ListenerStateLock&) = delete;
    ListenerStateLock& operator=(const ListenerStateLock&) = delete;

    ListenerState GetState();
    ListenerState SetState(ListenerState state);
    ListenerState WaitAndLock();
    void Unlock();

private:
    CRITICAL_SECTION mSection;
    ListenerState mState;
};
