// ConnectionHandler.cpp -- one connection: receive the request, answer, deliver the body, close.
#include "ConnectionHandler.h"

#include <string.h>

#include <string>

#include "CPWStringBuffer.h"
#include "CannedResponse.h"
#include "HttpFraming.h"
#include "IEventManagerEx.h"
#include "Logging.h"
#include "ModuleLock.h"
#include "PlatformServices.h"
#include "ShutdownAck.h"
#include "TransferState.h"

KV_INTERFACE_ID(IEventManagerEx, IID_IEventManagerEx);

namespace {

const char kWakeUpText[] = "ShutDownEvent";
const int kReceiveChunk = 1023;

enum class Intake { Complete, WakeUp, Failed };

// Receives until the request is complete, the peer closes its side or the wake-up arrives. A
// failure other than an interrupted call ends the intake: a reset peer never keeps us here.
Intake ReceiveRequest(SOCKET connection, std::string& message) {
    TransferState transfer;
    char buffer[kReceiveChunk + 1];
    for (;;) {
        int got = recv(connection, buffer, kReceiveChunk, 0);
        if (got == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return Intake::Failed;
        }
        if (got == 0) return Intake::Complete;
        buffer[got] = '\0';
        message.append(buffer, static_cast<size_t>(got));
        if (strcmp(message.c_str(), kWakeUpText) == 0) return Intake::WakeUp;
        if (transfer.isTransferFinished(message)) return Intake::Complete;
    }
}

void DeliverMessage(CPWStringBuffer& text) {
    CPComPtr<IEventManagerEx> manager;
    if (FAILED(PlatformServices::CreateInstance(manager, KV_EVENT_MANAGER_PROGID, nullptr))) {
        KVLOG(5, "HandlingProc : Failed to create instance of EventManager");
        return;
    }
    // The storage itself is the BSTR: its text ends at the first NUL. No text, no string.
    CPWStringBuffer response;
    HRESULT hr = manager->Deliver(text.Compact(), response.Put());
    if (SUCCEEDED(hr)) {
        KVLOG(5, "HandlingProc : Event Manager Deliver succeeded");
    } else {
        KVLOG(5, "HandlingProc : Event Manager Deliver failed");
    }
    response.Free();
}

}  // namespace

DWORD WINAPI HandlingProc(LPVOID socketParam) {
    {
        KV_TRACE_SCOPE("HandlingProc");
        SOCKET connection = reinterpret_cast<SOCKET>(socketParam);
        if (connection == INVALID_SOCKET) {
            KVLOG(5, "HandlingProc : Returning...Invalid socket handle passed");
        } else {
            bool comInitialized = false;
            try {
                std::string message;
                Intake intake = ReceiveRequest(connection, message);
                if (intake == Intake::WakeUp) {
                    KVLOG(5, "HandlingProc : Returning...ShutDown event occurred");
                    gShutdownAck.Signal();
                } else if (intake == Intake::Failed) {
                    KVLOG(5, "HandlingProc : Receive failed, connection closed without reply");
                } else {
                    // The printer gets its answer whatever becomes of the message.
                    int length = static_cast<int>(strlen(kCannedResponse));
                    if (send(connection, kCannedResponse, length, 0) == SOCKET_ERROR)
                        KVLOG(5, "HandlingProc : Failed sending response to printer upon receiving the entire data");
                    if (!splitData(message)) KVLOG(5, "HandlingProc: splitData failed");
                    CPWStringBuffer text;
                    text.AssignNarrow(message.c_str());
                    std::string().swap(message);
                    if (FAILED(CoInitialize(nullptr))) {
                        KVLOG(5, "HandlingProc : Failed to initialize COM runtime library");
                    } else {
                        comInitialized = true;
                        DeliverMessage(text);
                    }
                }
            } catch (...) {
                KVLOG(5, "HandlingProc : Exception occurred");
            }
            shutdown(connection, SD_BOTH);
            closesocket(connection);
            if (comInitialized) CoUninitialize();
        }
        KVLOG_EXIT(5, "HandlingProc", 0);
    }
    HandlerEnded();
    return 0;
}
