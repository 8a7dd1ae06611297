// ConnectionHandler.cpp -- one connection: receive, answer, deliver, close.
#include "ConnectionHandler.h"

#include <string.h>

#include <string>

#include "Logging.h"
#include "ModuleLock.h"
#include "ShutdownAck.h"

namespace {

const char kWakeUpText[] = "ShutDownEvent";
const int kReceiveChunk = 1023;

void CloseConnection(SOCKET s) {
    shutdown(s, SD_BOTH);
    closesocket(s);
}

}  // namespace

DWORD WINAPI HandlingProc(LPVOID socketParam) {
    {
        KV_TRACE_SCOPE("HandlingProc");
        SOCKET connection = reinterpret_cast<SOCKET>(socketParam);
        if (connection == INVALID_SOCKET) {
            KVLOG(5, "HandlingProc : Returning...Invalid socket handle passed");
        } else {
            try {
                std::string message;
                char buffer[kReceiveChunk + 1];
                for (;;) {
                    int got = recv(connection, buffer, kReceiveChunk, 0);
                    if (got == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
                    if (got <= 0) break;
                    buffer[got] = '\0';
                    message.append(buffer, static_cast<size_t>(got));
                    if (strcmp(message.c_str(), kWakeUpText) == 0) {
                        KVLOG(5, "HandlingProc : Returning...ShutDown event occurred");
                        gShutdownAck.Signal();
                        break;
                    }
                }
            } catch (...) {
                KVLOG(5, "HandlingProc : Exception occurred");
            }
            CloseConnection(connection);
        }
        KVLOG_EXIT(5, "HandlingProc", 0);
    }
    ModuleLockDecrement();
    return 0;
}
