// RunningHandlers.cpp -- the connection handler threads that run: how many, room for one more, and their prompt end when the process exits.
#include "RunningHandlers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "ModuleLock.h"
#include "NeverDestroyed.h"

namespace {

// The counts are read and changed without the lock, once or twice per connection; the lock is
// taken only to wait, and by a change only when someone waits.
struct State {
    std::mutex lock;
    std::condition_variable changed;  // a handler ended, or an interruption
    std::atomic<LONG> running{0};
    std::atomic<ULONG> interruptions{0};
    std::atomic<LONG> waiting{0};
    std::atomic<bool> exiting{false};
    std::atomic<bool> exitPairMade{false};
#ifndef _WIN32
    // Made with the first handler: [0] is what handlers wait on, [1] is shut down at the exit.
    int exitPair[2] = {-1, -1};
    // exitPair[0] for handlers to read without the lock: set once it is made, -1 once closed.
    std::atomic<int> exitSignal{-1};
#endif
};

// Handlers may still use it while the process exits and destroys its static objects.
NeverDestroyed<State> gState;

}  // namespace

void RunningHandlers::Starting() {
    State& state = gState.get();
    state.running.fetch_add(1);
#ifndef _WIN32
    if (!state.exitPairMade.load()) {
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.exitPair[0] < 0 && !state.exiting && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, state.exitPair) == 0)
            state.exitSignal = state.exitPair[0];
        state.exitPairMade = state.exitPair[0] >= 0 || state.exiting;
    }
#endif
    ModuleLockIncrement();
}

void RunningHandlers::Ended() {
    State& state = gState.get();
    ModuleLockDecrement();
    // Seen by a waiter that counted itself in before it looked at `running`, or announced to it.
    state.running.fetch_sub(1);
    if (state.waiting.load() == 0) return;
    std::lock_guard<std::mutex> hold(state.lock);
    state.changed.notify_all();
}

LONG RunningHandlers::Count() { return gState.get().running.load(); }

ULONG RunningHandlers::Ticket() { return gState.get().interruptions.load(); }

bool RunningHandlers::WaitForRoom(LONG limit, ULONG ticket) {
    State& state = gState.get();
    std::unique_lock<std::mutex> hold(state.lock);
    state.waiting.fetch_add(1);
    state.changed.wait(hold, [&] { return state.running.load() < limit || state.interruptions.load() != ticket; });
    state.waiting.fetch_sub(1);
    return state.running.load() < limit;
}

void RunningHandlers::Interrupt() {
    State& state = gState.get();
    std::lock_guard<std::mutex> hold(state.lock);
    state.interruptions.fetch_add(1);
    state.changed.notify_all();
}

bool RunningHandlers::EndAtExit(DWORD timeoutMs) {
    State& state = gState.get();
    std::unique_lock<std::mutex> hold(state.lock);
    state.exiting = true;
    state.interruptions.fetch_add(1);
    state.changed.notify_all();
#ifndef _WIN32
    // End of stream on the other side wakes every handler that waits on it, now and later.
    if (state.exitPair[1] >= 0) (shutdown)(state.exitPair[1], SHUT_WR);
#endif
    state.waiting.fetch_add(1);
    bool none = state.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return state.running.load() == 0; });
    state.waiting.fetch_sub(1);
#ifndef _WIN32
    // With no handler left nobody can still be waiting on the pair (a later one sees the exit
    // first and never looks at it).
    if (none && state.exitPair[0] >= 0) {
        state.exitSignal = -1;
        close(state.exitPair[0]);
        close(state.exitPair[1]);
        state.exitPair[0] = state.exitPair[1] = -1;
    }
#endif
    return none;
}

bool RunningHandlers::Exiting() { return gState.get().exiting.load(); }

SOCKET RunningHandlers::ExitSignal() {
#ifndef _WIN32
    // Closed only once no handler is left (EndAtExit), so never under one that reads it.
    int signal = gState.get().exitSignal.load();
    if (signal >= 0) return static_cast<SOCKET>(signal);
#endif
    return INVALID_SOCKET;
}
