// ConnectionHandler.h -- serving one accepted connection, and the thread routine that does it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ListenerSettings.h"

// A connection as the accept loop hands it over.
struct AcceptedConnection {
    SOCKET socket;
    ULONGLONG acceptedAt;  // GetTickCount64 at the accept: the request's time runs from here
    ListenerSettings settings;
};

// Serves the connection from its accept to its close, on the calling thread: receives one
// request within the settings' limits, answers it, delivers its body and closes the connection,
// on every path.
void ServeConnection(const AcceptedConnection& connection);

// Thread routine; the parameter is an AcceptedConnection made with new, which the routine owns
// (and deletes) with its socket. Returns 0. Its starter counts it in RunningHandlers; the routine
// ends the count as its last step.
DWORD WINAPI HandlingProc(LPVOID connectionParam);
