// ModuleLock.h -- the module's lock count: the module stays loaded while it is above zero.
#pragma once

#include <windows.h>

// Clients holding the class object or the listener, LockServer(TRUE), a running listener thread
// and every handler thread, busy or idle (see HandlerPool), each hold one lock. A connection is
// always on a handler thread (or, between its accept and a thread, on the listener thread), so it
// needs none of its own.
LONG ModuleLockIncrement();
LONG ModuleLockDecrement();
LONG ModuleLockCount();
