// AcceptLoop.h -- waits on the listening sockets, accepts one connection at a time and hands it to the connection service, until the shutdown.
#pragma once

#include <windows.h>

#include "ListeningSockets.h"

class AcceptLoop {
public:
    AcceptLoop(const ListeningSockets& sockets, HANDLE shutdownEvent) : mSockets(sockets), mShutdown(shutdownEvent) {}
    // Runs on the listener thread until the shutdown event is signalled or the run's stop is raised
    // (true), or waiting for connections fails for good (false: nothing is accepted any more).
    bool Run();

private:
    // Takes one connection from `listening`; false when the accept failed for want of resources.
    bool AcceptOne(SOCKET listening);

    const ListeningSockets& mSockets;
    HANDLE mShutdown;
};
