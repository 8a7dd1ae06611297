// ConnectionHandler.h -- the thread routine that serves one accepted connection.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Thread routine; the parameter is the accepted socket, which the routine owns and closes.
// Returns 0. The thread holds one module lock, taken by its starter (HandlerStarting) and given
// back here as the last step.
DWORD WINAPI HandlingProc(LPVOID socketParam);
