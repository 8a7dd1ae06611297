// ConnectionHandler.h -- serving one accepted connection, and the thread routine that does it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "HandlerPool.h"
#include "ListenerSettings.h"

// A connection as the accept loop hands it over.
struct AcceptedConnection {
    SOCKET socket;
    ULONGLONG acceptedAt;  // GetTickCount64 at the accept: the request's time runs from here
    ListenerSettings settings;
};

class HandlerApartment;

// Serves the connection from its accept to its close, on the calling thread: receives one
// request within the settings' limits, answers it, delivers its body and closes the connection,
// on every path. `apartment` is the calling thread's, kept from one connection to the next.
void ServeConnection(const AcceptedConnection& connection, HandlerApartment& apartment);

// Serves one connection on a handler thread and owns it: `connection` was made with new, and is
// deleted with its socket closed. Its starter counted it in RunningHandlers; this ends the count
// as its last step.
void HandlingProc(AcceptedConnection* connection, HandlerApartment& apartment);

// The handler threads, module-wide: each serves one connection at a time and waits 30 s for the
// next before it ends. The accept loop keeps the pool open while it runs.
HandlerPool& HandlerThreads();
