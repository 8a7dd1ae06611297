// ModuleLock.cpp -- the interlocked module lock count.
#include "ModuleLock.h"

#include <atomic>

namespace {
std::atomic<LONG> gModuleLocks{0};
std::atomic<LONG> gRunningHandlers{0};
const DWORD kHandlerPollMs = 10;
}  // namespace

LONG ModuleLockIncrement() { return gModuleLocks.fetch_add(1) + 1; }
LONG ModuleLockDecrement() { return gModuleLocks.fetch_sub(1) - 1; }
LONG ModuleLockCount() { return gModuleLocks.load(); }

void HandlerStarting() {
    gRunningHandlers.fetch_add(1);
    ModuleLockIncrement();
}

void HandlerEnded() {
    ModuleLockDecrement();
    gRunningHandlers.fetch_sub(1);
}

bool WaitForHandlers(DWORD timeoutMs) {
    DWORD waited = 0;
    while (gRunningHandlers.load() > 0) {
        if (waited >= timeoutMs) return false;
        Sleep(kHandlerPollMs);
        waited += kHandlerPollMs;
    }
    return true;
}
