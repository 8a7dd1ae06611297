// SocketTransport.cpp -- receive, send and close on a TCP socket; a silent peer never holds a wait past its deadline.
#include "SocketTransport.h"

#include <ws2tcpip.h>

namespace {
// Without a stop socket a wait looks at the signal at least this often.
const ULONGLONG kSignalPollMs = 250;
// The most one send() or recv() is asked to move (Winsock counts in int).
const size_t kMaxPiece = 1u << 30;
}  // namespace

SocketTransport::SocketTransport(UniqueSocket connection, const PeerAddress& peer, std::shared_ptr<StopSignal> stop)
    : mSocket(std::move(connection)), mStop(std::move(stop)), mPeer(peer) {}

SocketTransport::Wait SocketTransport::WaitReadable(ULONGLONG deadline) {
    SOCKET stopSocket = mStop ? mStop->WaitSocket() : INVALID_SOCKET;
    for (;;) {
        if (mStop && mStop->Raised()) return Wait::Stopped;
        ULONGLONG now = GetTickCount64();
        // Past the deadline, bytes that are already here are still taken: only waiting is over.
        bool last = now >= deadline;
        ULONGLONG left = last ? 0 : deadline - now;
        if (stopSocket == INVALID_SOCKET && mStop && left > kSignalPollMs) left = kSignalPollMs;
        timeval wait;
        wait.tv_sec = static_cast<decltype(wait.tv_sec)>(left / 1000);
        wait.tv_usec = static_cast<decltype(wait.tv_usec)>(left % 1000 * 1000);
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(mSocket.get(), &readSet);
        if (stopSocket != INVALID_SOCKET) FD_SET(stopSocket, &readSet);
        if (select(0, &readSet, nullptr, nullptr, &wait) == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return Wait::Failed;
        }
        if (FD_ISSET(mSocket.get(), &readSet) && !(mStop && mStop->Raised())) return Wait::Readable;
        if (last) return Wait::TimedOut;
    }
}

Transport::Receive SocketTransport::ReceiveBefore(ULONGLONG deadline, char* buffer, size_t capacity, size_t* got) {
    *got = 0;
    for (;;) {
        switch (WaitReadable(deadline)) {
        case Wait::TimedOut: return Receive::TimedOut;
        case Wait::Stopped: return Receive::Stopped;
        case Wait::Failed: return Receive::Failed;
        case Wait::Readable: break;
        }
        int n = recv(mSocket.get(), buffer, static_cast<int>(capacity < kMaxPiece ? capacity : kMaxPiece), 0);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return Receive::Bytes;
        }
        if (n == 0) return Receive::Closed;
        // A failure other than an interrupted call ends it: a reset peer never keeps us here.
        if (WSAGetLastError() != WSAEINTR) return Receive::Failed;
    }
}

bool SocketTransport::Send(const char* data, size_t size) {
    while (size > 0) {
        int n = send(mSocket.get(), data, static_cast<int>(size < kMaxPiece ? size : kMaxPiece), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void SocketTransport::FinishSending(DWORD lingerMs) {
    if (!mSocket) return;
    shutdown(mSocket.get(), SD_SEND);
    char scrap[1024];
    ULONGLONG until = GetTickCount64() + lingerMs;
    while (WaitReadable(until) == Wait::Readable) {
        if (recv(mSocket.get(), scrap, sizeof(scrap), 0) <= 0) return;
    }
}

void SocketTransport::Close() {
    if (!mSocket) return;
    shutdown(mSocket.get(), SD_BOTH);
    mSocket.reset();
}

unsigned SocketTransport::LocalPort() const {
    sockaddr_storage address = {};
    int length = sizeof(address);
    if (getsockname(mSocket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}
