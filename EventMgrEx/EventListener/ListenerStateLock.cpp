// ListenerStateLock.cpp -- state reads and writes under the section, and the wait for a settled state.
#include "ListenerStateLock.h"

namespace {
const DWORD kSettlePollMs = 100;
bool Busy(ListenerState state) { return state == Starting || state == Stopping; }
}  // namespace

ListenerStateLock::ListenerStateLock() : mState(Stopped) { InitializeCriticalSection(&mSection); }

ListenerStateLock::~ListenerStateLock() { DeleteCriticalSection(&mSection); }

ListenerState ListenerStateLock::GetState() {
    EnterCriticalSection(&mSection);
    ListenerState state = mState;
    LeaveCriticalSection(&mSection);
    return state;
}

ListenerState ListenerStateLock::SetState(ListenerState state) {
    EnterCriticalSection(&mSection);
    mState = state;
    LeaveCriticalSection(&mSection);
    return state;
}

ListenerState ListenerStateLock::WaitAndLock() {
    for (;;) {
        while (Busy(GetState())) Sleep(kSettlePollMs);
        EnterCriticalSection(&mSection);
        if (!Busy(mState)) return mState;
        LeaveCriticalSection(&mSection);
    }
}

void ListenerStateLock::Unlock() { LeaveCriticalSection(&mSection); }
