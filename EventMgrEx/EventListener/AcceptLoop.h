// AcceptLoop.h -- waits on the listening sockets, accepts one connection at a time and hands it to the connection service, until the shutdown.
#pragma once

#include <windows.h>

#include "ListeningSockets.h"

class AcceptLoop {
public:
    // `stopSocket`: the run's stop signal, watched beside the listening sockets (may be invalid).
    AcceptLoop(const ListeningSockets& sockets, HANDLE shutdownEvent, SOCKET stopSocket)
        : mSockets(sockets), mShutdown(shutdownEvent), mStopSocket(stopSocket) {}
    // Runs on the listener thread until the shutdown event is signalled or the run's stop is raised
    // (true), or waiting for connections fails for good (false: nothing is accepted any more).
    bool Run();

private:
    // Takes one connection from `listening`; false when the accept failed for want of resources.
    bool AcceptOne(SOCKET listening);

    const ListeningSockets& mSockets;
    HANDLE mShutdown;
    SOCKET mStopSocket;
};
