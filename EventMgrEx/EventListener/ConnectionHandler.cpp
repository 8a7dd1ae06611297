// ConnectionHandler.cpp -- one connection: receive the request within its limits, answer, deliver the body, close.
#include "ConnectionHandler.h"

#include <ws2tcpip.h>

#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ByteText.h"
#include "CPWStringBuffer.h"
#include "CannedResponse.h"
#include "HandlerApartment.h"
#include "HttpFraming.h"
#include "Logging.h"
#include "NeverDestroyed.h"
#include "RunningHandlers.h"
#include "ShutdownAck.h"
#include "TransferState.h"

using framing::BodyFraming;
using framing::Method;

namespace {

const char kWakeUpText[] = "ShutDownEvent";
// A thousand connections must not take a quarter of a 32-bit process's address space.
const SIZE_T kHandlerStackBytes = 256 * 1024;
// How long a handler thread waits for its next connection before it ends.
const DWORD kIdleHandlerMs = 30000;
// One receive takes what a typical request is at once: a 2 KiB event in 1023-byte pieces took
// three receives and three readiness waits, and a large body a thousand times more of both.
const int kReceiveChunk = 16383;
// How long a refused peer's remaining bytes are read and dropped before the close.
const DWORD kLingerMs = 1000;

enum class Intake {
    Complete,     // the whole request arrived
    PeerClosed,   // the peer closed its side after part of a request
    ClosedEarly,  // the peer closed before sending a single byte: no event
    WakeUp,       // the stop's wake-up message
    TooLarge,     // more than maxRequestKB
    TimedOut,     // not complete within requestTimeoutMs of the accept
    Exiting,      // the process exits
    Failed,       // the connection failed (a reset)
};

enum class Wait { Readable, TimedOut, Exiting, Failed };

// Waits until the connection has bytes (or its end) to read, the deadline passes or the process
// exits. Never a blocking receive: a silent peer cannot hold the handler past its time.
Wait WaitForBytes(SOCKET connection, ULONGLONG deadline) {
    SOCKET exitSignal = RunningHandlers::ExitSignal();
    for (;;) {
        if (RunningHandlers::Exiting()) return Wait::Exiting;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return Wait::TimedOut;
        ULONGLONG left = deadline - now;
        timeval wait;
        wait.tv_sec = static_cast<decltype(wait.tv_sec)>(left / 1000);
        wait.tv_usec = static_cast<decltype(wait.tv_usec)>(left % 1000 * 1000);
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(connection, &readSet);
        if (exitSignal != INVALID_SOCKET) FD_SET(exitSignal, &readSet);
        if (select(0, &readSet, nullptr, nullptr, &wait) == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return Wait::Failed;
        }
        if (FD_ISSET(connection, &readSet) && !RunningHandlers::Exiting()) return Wait::Readable;
    }
}

// What the request amounts to as far as it is known: its header section and declared length,
// else the bytes received (chunked, or the header section not complete yet).
uint64_t RequestSize(const TransferState& transfer, size_t received) {
    if (!transfer.headerComplete()) return received;
    switch (transfer.header().framing()) {
    case BodyFraming::Length:
        return uint64_t(transfer.bodyStart()) + static_cast<uint32_t>(transfer.header().length);
    case BodyFraming::None:
        return transfer.bodyStart();
    case BodyFraming::Chunked:
        break;
    }
    return received;
}

// Appends without letting the text's storage grow past `bound`: doubling alone would reserve up
// to twice what the limit allows.
void Append(std::string& text, const char* bytes, size_t count, size_t bound) {
    size_t needed = text.size() + count;
    if (needed > text.capacity()) text.reserve(std::max(needed, std::min(text.capacity() * 2, bound)));
    text.append(bytes, count);
}

#ifdef _MSC_VER
#define KV_NOINLINE __declspec(noinline)
#else
#define KV_NOINLINE __attribute__((noinline))
#endif

// One receive, appended to the text. The buffer lives in this frame, below the waits: a
// connection that only waits (an idle printer) never touches its stack pages.
KV_NOINLINE int ReceivePiece(SOCKET connection, std::string& text, size_t bound) {
    char buffer[kReceiveChunk + 1];
    int got = recv(connection, buffer, kReceiveChunk, 0);
    if (got > 0) {
        buffer[got] = '\0';
        Append(text, buffer, static_cast<size_t>(got), bound);
    }
    return got;
}

// Receives until the request is complete, the peer closes its side, the wake-up arrives, or a
// limit ends it. A failure other than an interrupted call ends it too: a reset peer never keeps
// us here.
Intake ReceiveRequest(SOCKET connection, const AcceptedConnection& accepted, std::string& message,
                      TransferState& transfer) {
    const uint64_t limit = accepted.settings.MaxRequestBytes();
    const ULONGLONG deadline = accepted.acceptedAt + accepted.settings.requestTimeoutMs;
    bool headerSeen = false;
    for (;;) {
        switch (WaitForBytes(connection, deadline)) {
        case Wait::TimedOut: return Intake::TimedOut;
        case Wait::Exiting: return Intake::Exiting;
        case Wait::Failed: return Intake::Failed;
        case Wait::Readable: break;
        }
        int got = ReceivePiece(connection, message, static_cast<size_t>(limit) + kReceiveChunk);
        if (got == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return Intake::Failed;
        }
        if (got == 0) return message.empty() ? Intake::ClosedEarly : Intake::PeerClosed;
        if (strcmp(message.c_str(), kWakeUpText) == 0) return Intake::WakeUp;
        bool complete = transfer.isTransferFinished(message);
        if (RequestSize(transfer, message.size()) > limit) return Intake::TooLarge;
        if (complete) return Intake::Complete;
        if (!headerSeen && transfer.headerComplete()) {
            headerSeen = true;
            // A declared length (within the limit, checked above) is room taken once, instead of
            // copying the text at every doubling.
            if (transfer.header().framing() == BodyFraming::Length)
                message.reserve(static_cast<size_t>(RequestSize(transfer, message.size())));
            // The client holds its body back until we say it is welcome; a refusal came above.
            if (transfer.header().expectContinue)
                send(connection, kContinueResponse, static_cast<int>(strlen(kContinueResponse)), 0);
        }
    }
}

// A refused peer may still be sending its body. Closing with unread bytes resets the
// connection, and the reset can overtake the refusal: read and drop for a moment first.
void DrainBeforeClose(SOCKET connection) {
    shutdown(connection, SD_SEND);
    char scrap[1024];
    ULONGLONG until = GetTickCount64() + kLingerMs;
    while (WaitForBytes(connection, until) == Wait::Readable) {
        if (recv(connection, scrap, sizeof(scrap), 0) <= 0) return;
    }
}

std::string PeerText(SOCKET connection) {
    sockaddr_storage address = {};
    int length = sizeof(address);
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (getpeername(connection, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "an unknown peer";
    if (address.ss_family == AF_INET6) return std::string("[") + host + "]:" + service;
    return std::string(host) + ":" + service;
}

unsigned LocalPort(SOCKET connection) {
    sockaddr_storage address = {};
    int length = sizeof(address);
    if (getsockname(connection, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

const char* FramingName(const TransferState& transfer) {
    if (!transfer.headerComplete()) return "none";
    switch (transfer.header().framing()) {
    case BodyFraming::Length: return "length";
    case BodyFraming::Chunked: return "chunked";
    case BodyFraming::None: break;
    }
    return transfer.header().method == Method::Get ? "get" : "head";
}

// Hands the message to the event manager this thread keeps; the result for the request's line.
const char* CallDeliver(HandlerApartment& apartment, BSTR message, unsigned long size) {
    HRESULT hr = S_OK;
    IEventManagerEx* manager = apartment.EventManager(&hr);
    if (!manager) {
        KVLOG(5, "HandlingProc : Failed to create instance of EventManager");
        KVLOG(1, "HandlingProc : Failed to create instance of %S (hr: 0x%08X)", KV_EVENT_MANAGER_PROGID,
              (unsigned)hr);
        return "not delivered, no event manager";
    }
    CPWStringBuffer response;
    hr = manager->Deliver(message, response.Put());
    if (SUCCEEDED(hr)) {
        KVLOG(5, "HandlingProc : Event Manager Deliver succeeded");
    } else {
        KVLOG(5, "HandlingProc : Event Manager Deliver failed");
        KVLOG(1, "HandlingProc : Deliver failed (hr: 0x%08X) for a message of %lu bytes", (unsigned)hr, size);
        // A manager that failed is not trusted with the next message.
        apartment.Forget();
    }
    response.Free();
    return SUCCEEDED(hr) ? "delivered" : "delivery failed";
}

// Widens the body, every byte of it, into a string of exactly its length and delivers it; the
// result for the request's line. An empty body is a null string.
const char* DeliverMessage(std::string& body, HandlerApartment& apartment) {
    unsigned long size = static_cast<unsigned long>(body.size());
    BSTR message = size ? AllocBstrFromBytes(body.data(), body.size()) : nullptr;
    std::string().swap(body);
    if (size != 0 && !message) {
        // Delivering an empty message in its place would report a loss as a success.
        KVLOG(1, "HandlingProc : a message of %lu bytes could not be widened; it is not delivered", size);
        return "not delivered, no memory";
    }
    const char* result = "not delivered, COM failed";
    if (!apartment.Enter())
        KVLOG(5, "HandlingProc : Failed to initialize COM runtime library");
    else
        result = CallDeliver(apartment, message, size);
    SysFreeString(message);
    return result;
}

// A thread of the handler pool: the connections it serves one after another share its apartment
// and event manager.
class HandlerThread final : public PooledWorker {
public:
    void Serve(void* item) override { HandlingProc(static_cast<AcceptedConnection*>(item), mApartment); }

private:
    HandlerApartment mApartment;
};

std::unique_ptr<PooledWorker> MakeHandlerThread() {
    return std::unique_ptr<PooledWorker>(new (std::nothrow) HandlerThread());
}

// Handlers use it while the process exits and destroys its static objects.
NeverDestroyed<HandlerPool> gHandlerThreads(&MakeHandlerThread, kIdleHandlerMs, kHandlerStackBytes);

}  // namespace

HandlerPool& HandlerThreads() { return gHandlerThreads.get(); }

void ServeConnection(const AcceptedConnection& accepted, HandlerApartment& apartment) {
    SOCKET connection = accepted.socket;
    std::string peer;
    std::string message;
    TransferState transfer;
    size_t received = 0;
    const char* result = "exception";
    try {
        // Only log lines need the peer's address; it is read while the connection is certainly open.
        if (LogLevel() >= 2) peer = PeerText(connection);
        Intake intake = ReceiveRequest(connection, accepted, message, transfer);
        received = message.size();
        switch (intake) {
        case Intake::WakeUp:
            KVLOG(5, "HandlingProc : Returning...ShutDown event occurred");
            gShutdownAck.Signal();
            result = "wake-up";
            break;
        case Intake::ClosedEarly:
            result = "closed before any byte";
            break;
        case Intake::Failed:
            KVLOG(5, "HandlingProc : Receive failed, connection closed without reply");
            result = "receive failed";
            break;
        case Intake::Exiting:
            result = "ended at exit";
            break;
        case Intake::TimedOut:
            KVLOG(2, "HandlingProc : %s sent no complete request within %lu ms (%lu bytes); closed without reply",
                  peer.c_str(), (unsigned long)accepted.settings.requestTimeoutMs, (unsigned long)received);
            result = "timed out";
            break;
        case Intake::TooLarge:
            KVLOG(2, "HandlingProc : %s sent a request of %s bytes, over the limit of %lu KB; refused with 413",
                  peer.c_str(), std::to_string(RequestSize(transfer, received)).c_str(),
                  (unsigned long)accepted.settings.maxRequestKB);
            std::string().swap(message);
            send(connection, kTooLargeResponse, static_cast<int>(strlen(kTooLargeResponse)), 0);
            DrainBeforeClose(connection);
            result = "refused with 413";
            break;
        case Intake::Complete:
        case Intake::PeerClosed:
            if (transfer.headerComplete() && transfer.header().framing() == BodyFraming::None) {
                // A monitor's check of the port: answered, never delivered.
                std::string status = StatusResponse(LocalPort(connection), transfer.header().method == Method::Get);
                send(connection, status.data(), static_cast<int>(status.size()), 0);
                result = "answered";
                break;
            }
            // The printer gets its answer whatever becomes of the message.
            if (send(connection, kCannedResponse, static_cast<int>(strlen(kCannedResponse)), 0) == SOCKET_ERROR)
                KVLOG(5, "HandlingProc : Failed sending response to printer upon receiving the entire data");
            if (!splitData(message)) KVLOG(5, "HandlingProc: splitData failed");
            result = DeliverMessage(message, apartment);
            break;
        }
    } catch (...) {
        KVLOG(5, "HandlingProc : Exception occurred");
    }
    shutdown(connection, SD_BOTH);
    closesocket(connection);
    KVLOG(4, "HandlingProc : request from %s: %lu bytes, %s, %s, %lu ms", peer.c_str(), (unsigned long)received,
          FramingName(transfer), result, (unsigned long)(GetTickCount64() - accepted.acceptedAt));
}

void HandlingProc(AcceptedConnection* connection, HandlerApartment& apartment) {
    std::unique_ptr<AcceptedConnection> accepted(connection);
    {
        KV_TRACE_SCOPE("HandlingProc");
        if (!accepted || accepted->socket == INVALID_SOCKET)
            KVLOG(5, "HandlingProc : Returning...Invalid socket handle passed");
        else
            ServeConnection(*accepted, apartment);
        KVLOG_EXIT(5, "HandlingProc", 0);
    }
    accepted.reset();
    RunningHandlers::Ended();
}
