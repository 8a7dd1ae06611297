// RunningHandlers.h -- the connection handler threads that run: how many, room for one more, and their prompt end when the process exits.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Every handler thread is counted from just before it is created until its last step, and holds
// one module lock meanwhile (it runs this module's code after all clients may have gone).
class RunningHandlers {
public:
    // The handler's starter, before it creates the thread.
    static void Starting();
    // The handler thread's last step (also its starter's, when the thread could not be created).
    static void Ended();
    static LONG Count();

    // Waits until fewer than `limit` handlers run (true), or until Interrupt is called after
    // `ticket` was taken (false). Take the ticket before looking at what Interrupt announces, so
    // that an interruption in between is never missed.
    static ULONG Ticket();
    static bool WaitForRoom(LONG limit, ULONG ticket);
    static void Interrupt();

    // The process exits while handlers may still run (POSIX: Windows ends every other thread
    // before a module hears of the exit). Handlers still waiting for request bytes end at once,
    // closing their connections without reply or delivery; those that have their request finish.
    // Waits up to `timeoutMs` for them all; true when none is left.
    static bool EndAtExit(DWORD timeoutMs);
    // True once EndAtExit has begun.
    static bool Exiting();
    // A socket that turns readable when the exit begins, for a handler to wait on beside its
    // connection; INVALID_SOCKET where none is needed.
    static SOCKET ExitSignal();
};
