// ModuleLock.h -- the module's lock count: the module stays loaded while it is above zero.
#pragma once

#include <windows.h>

// Clients holding the class object or the listener, LockServer(TRUE), and every running
// connection handler thread (which runs this module's code after all clients may have gone)
// each hold one lock.
LONG ModuleLockIncrement();
LONG ModuleLockDecrement();
LONG ModuleLockCount();

// A connection handler thread starts (its starter calls this, taking a module lock for it) or
// ends (the thread itself, as its last step, giving the lock back).
void HandlerStarting();
void HandlerEnded();
// Waits until no handler thread runs or `timeoutMs` has passed; true when none runs.
bool WaitForHandlers(DWORD timeoutMs);
