// RunningHandlers.cpp -- the connection handler threads that run: how many, room for one more, and their prompt end when the process exits.
#include "RunningHandlers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "ModuleLock.h"
#include "NeverDestroyed.h"

namespace {

struct State {
    std::mutex lock;
    std::condition_variable changed;  // a handler ended, or an interruption
    LONG running = 0;
    ULONG interruptions = 0;
    std::atomic<bool> exiting{false};
#ifndef _WIN32
    // Made with the first handler: [0] is what handlers wait on, [1] is shut down at the exit.
    int exitPair[2] = {-1, -1};
#endif
};

// Handlers may still use it while the process exits and destroys its static objects.
NeverDestroyed<State> gState;

}  // namespace

void RunningHandlers::Starting() {
    State& state = gState.get();
    {
        std::lock_guard<std::mutex> hold(state.lock);
        ++state.running;
#ifndef _WIN32
        if (state.exitPair[0] < 0 && !state.exiting) socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, state.exitPair);
#endif
    }
    ModuleLockIncrement();
}

void RunningHandlers::Ended() {
    State& state = gState.get();
    ModuleLockDecrement();
    std::lock_guard<std::mutex> hold(state.lock);
    --state.running;
    state.changed.notify_all();
}

LONG RunningHandlers::Count() {
    State& state = gState.get();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.running;
}

ULONG RunningHandlers::Ticket() {
    State& state = gState.get();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.interruptions;
}

bool RunningHandlers::WaitForRoom(LONG limit, ULONG ticket) {
    State& state = gState.get();
    std::unique_lock<std::mutex> hold(state.lock);
    state.changed.wait(hold, [&] { return state.running < limit || state.interruptions != ticket; });
    return state.running < limit;
}

void RunningHandlers::Interrupt() {
    State& state = gState.get();
    std::lock_guard<std::mutex> hold(state.lock);
    ++state.interruptions;
    state.changed.notify_all();
}

bool RunningHandlers::EndAtExit(DWORD timeoutMs) {
    State& state = gState.get();
    std::unique_lock<std::mutex> hold(state.lock);
    state.exiting = true;
    ++state.interruptions;
    state.changed.notify_all();
#ifndef _WIN32
    // End of stream on the other side wakes every handler that waits on it, now and later.
    if (state.exitPair[1] >= 0) (shutdown)(state.exitPair[1], SHUT_WR);
#endif
    bool none = state.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return state.running == 0; });
#ifndef _WIN32
    // With no handler left nobody can still be waiting on the pair (a later one sees the exit
    // first and never looks at it).
    if (none && state.exitPair[0] >= 0) {
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
    State& state = gState.get();
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.exitPair[0] >= 0) return static_cast<SOCKET>(state.exitPair[0]);
#endif
    return INVALID_SOCKET;
}
