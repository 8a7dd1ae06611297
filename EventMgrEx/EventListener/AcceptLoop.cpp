// AcceptLoop.cpp -- the accept loop: one connection per pass, the shutdown looked at before every wait.
#include "AcceptLoop.h"

#include <ws2tcpip.h>

#include "ConnectionService.h"
#include "LogThrottle.h"
#include "Logging.h"
#include "ShutdownAck.h"

namespace {

// After an accept failed (descriptors, buffers or memory running out): no new attempt before
// this, so that a shortage never turns into a busy loop.
const DWORD kAcceptPauseMs = 100;
// Interrupted waits in a row before the wait counts as failed for good.
const int kMaxInterruptedWaits = 100;

// Accept failures that concern one connection only (its peer gave up before we took it): the
// next one may be taken at once.
bool PeerGaveUp(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAEWOULDBLOCK || error == WSAEINTR;
}

}  // namespace

bool AcceptLoop::Run() {
    ConnectionService& service = ConnectionService::Instance();
    const SOCKET stopSocket = service.StopSocket();
    int interruptedWaits = 0;
    for (;;) {
        if (WaitForSingleObject(mShutdown, 0) == WAIT_OBJECT_0) {
            // The loop has ended, which is what the stop waits to hear; its wake-up, if it has not
            // arrived yet, would find no one to accept it.
            gShutdownAck.Signal();
            return true;
        }
        // Connections that waited too long for a handler are refused here, so the wait below ends
        // when the next of them is due.
        DWORD due = service.ExpireWaiting();
        timeval wait;
        wait.tv_sec = static_cast<decltype(wait.tv_sec)>(due / 1000);
        wait.tv_usec = static_cast<decltype(wait.tv_usec)>(due % 1000 * 1000);
        fd_set readSet;
        FD_ZERO(&readSet);
        for (int i = 0; i < mSockets.Count(); ++i) FD_SET(mSockets.At(i), &readSet);
        if (stopSocket != INVALID_SOCKET) FD_SET(stopSocket, &readSet);
        if (select(0, &readSet, nullptr, nullptr, due == INFINITE ? nullptr : &wait) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEINTR && ++interruptedWaits < kMaxInterruptedWaits) continue;
            KVLOG(1, "EventListenerThread::setListenPort select() call failed (error %d); no more connections are accepted",
                  error);
            return false;
        }
        interruptedWaits = 0;
        if (stopSocket != INVALID_SOCKET && FD_ISSET(stopSocket, &readSet)) {
            gShutdownAck.Signal();
            return true;
        }
        // One connection per pass: the shutdown event is tested again before the next accept.
        for (int i = 0; i < mSockets.Count(); ++i) {
            if (!FD_ISSET(mSockets.At(i), &readSet)) continue;
            if (!AcceptOne(mSockets.At(i))) WaitForSingleObject(mShutdown, kAcceptPauseMs);
            break;
        }
    }
}

bool AcceptLoop::AcceptOne(SOCKET listening) {
    static LogThrottle sFailures;
    sockaddr_storage address = {};
    int length = sizeof(address);
    UniqueSocket connection(accept(listening, reinterpret_cast<sockaddr*>(&address), &length));
    if (connection) {
        PeerAddress peer = PeerAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&address), length);
        ConnectionService::Instance().Accept(std::move(connection), peer, GetTickCount64());
        return true;
    }
    int error = WSAGetLastError();
    if (PeerGaveUp(error)) return true;
    // Out of descriptors, buffers or memory: the connection stays in the backlog, and trying again
    // at once would only fail again.
    unsigned long times = 0;
    if (sFailures.Due(&times))
        KVLOG(1, "EventListenerThread::setListenPort: accept() failed (error %d), %lu time(s) since the last report; "
                 "accepting pauses for %lu ms",
              error, times, (unsigned long)kAcceptPauseMs);
    return false;
}
