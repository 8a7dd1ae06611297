// ModuleLock.h -- the module's lock count: the module stays loaded while it is above zero.
#pragma once

#include <windows.h>

// Clients holding the class object or the listener, LockServer(TRUE), a running listener thread,
// every connection being served (see RunningHandlers) and every handler thread, busy or idle
// (see HandlerPool), each hold one lock.
LONG ModuleLockIncrement();
LONG ModuleLockDecrement();
LONG ModuleLockCount();
