// RedisTransport.cpp -- resolving, connecting, sending and receiving within a deadline, over plain sockets or TLS.
#include "RedisTransport.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "InprocServer.h"
#include "RedisSettings.h"

namespace {

int Remaining(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

// Waits for the socket to be ready one way; false at the deadline.
bool WaitFor(int socket, bool write, ULONGLONG deadline) {
    for (;;) {
        pollfd p = {socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
        int ready = poll(&p, 1, Remaining(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

std::string SystemText(const char* what, int code) { return std::string(what) + ": " + strerror(code); }

// getaddrinfo has no timeout: it runs in a thread of its own, which this caller leaves behind
// at the deadline (the shared result outlives whichever of the two ends last).
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
};

bool Resolve(const std::string& host, const std::string& port, ULONGLONG deadline, Lookup* into, RedisError* error) {
    // An address needs no look-up, and no thread.
    addrinfo numeric = {};
    numeric.ai_socktype = SOCK_STREAM;
    numeric.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &numeric, &found) == 0) {
        for (addrinfo* a = found; a; a = a->ai_next) {
            sockaddr_storage address = {};
            memcpy(&address, a->ai_addr, a->ai_addrlen);
            into->addresses.push_back(address);
            into->lengths.push_back(a->ai_addrlen);
        }
        freeaddrinfo(found);
        return true;
    }
    std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
    // The thread keeps the module loaded until it ends.
    ++gInprocServerLocks;
    try {
        std::thread([lookup, host, port] {
            addrinfo hints = {};
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
            std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->status = status;
            for (addrinfo* a = found; a; a = a->ai_next) {
                sockaddr_storage address = {};
                memcpy(&address, a->ai_addr, a->ai_addrlen);
                lookup->addresses.push_back(address);
                lookup->lengths.push_back(a->ai_addrlen);
            }
            if (found) freeaddrinfo(found);
            lookup->finished = true;
            lookup->done.notify_all();
            --gInprocServerLocks;
        }).detach();
    } catch (...) {
        --gInprocServerLocks;
        error->kind = Failure::kResolve;
        error->text = "cannot start a thread to resolve " + host;
        return false;
    }
    std::unique_lock<std::mutex> hold(lookup->lock);
    if (!lookup->done.wait_for(hold, std::chrono::milliseconds(Remaining(deadline)), [&] { return lookup->finished; })) {
        error->kind = Failure::kTimeout;
        error->text = "the name " + host + " did not resolve within the timeout";
        return false;
    }
    if (lookup->status != 0 || lookup->addresses.empty()) {
        error->kind = Failure::kResolve;
        error->text = "cannot resolve " + host + ": " + gai_strerror(lookup->status);
        return false;
    }
    into->addresses = lookup->addresses;
    into->lengths = lookup->lengths;
    return true;
}

// A non-blocking socket connected to `address` before the deadline, or -1.
int ConnectOne(const sockaddr* address, socklen_t length, ULONGLONG deadline, RedisError* error) {
    int fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error->kind = Failure::kConnect;
        error->text = SystemText("cannot create a socket", errno);
        return -1;
    }
    int result = connect(fd, address, length);
    if (result != 0 && errno == EINPROGRESS) {
        if (!WaitFor(fd, true, deadline)) {
            close(fd);
            error->kind = Failure::kTimeout;
            error->text = "no connection within the timeout";
            return -1;
        }
        int code = 0;
        socklen_t size = sizeof(code);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size);
        result = code == 0 ? 0 : -1;
        errno = code;
    }
    if (result != 0) {
        int code = errno;
        close(fd);
        error->kind = Failure::kConnect;
        error->text = strerror(code);
        return -1;
    }
    if (address->sa_family != AF_UNIX) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        // A peer that vanishes without a word is noticed.
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    }
    return fd;
}

}  // namespace

std::unique_ptr<RedisTransport> RedisTransport::Connect(const std::string& address, const RedisSettings& settings,
                                                        ULONGLONG deadline, RedisError* error) {
    int fd = -1;
    std::string host;
    if (!address.empty() && address[0] == '/') {
        sockaddr_un path = {};
        path.sun_family = AF_UNIX;
        if (address.size() >= sizeof(path.sun_path)) {
            error->kind = Failure::kConnect;
            error->text = "the socket path is too long";
            return nullptr;
        }
        memcpy(path.sun_path, address.c_str(), address.size());
        fd = ConnectOne(reinterpret_cast<sockaddr*>(&path), sizeof(path), deadline, error);
    } else {
        size_t colon = address.rfind(':');
        host = colon == std::string::npos ? address : address.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        char* end = nullptr;
        long port = colon == std::string::npos ? -1 : strtol(address.c_str() + colon + 1, &end, 10);
        if (port <= 0 || port >= 65536 || !end || *end || host.empty()) {
            error->kind = Failure::kConnect;
            error->text = "the address " + address + " is neither host:port nor a socket path";
            return nullptr;
        }
        Lookup found;
        if (!Resolve(host, std::to_string(port), deadline, &found, error)) return nullptr;
        for (size_t i = 0; i < found.addresses.size() && fd < 0 && Remaining(deadline) > 0; ++i)
            fd = ConnectOne(reinterpret_cast<sockaddr*>(&found.addresses[i]), found.lengths[i], deadline, error);
        if (fd < 0 && Remaining(deadline) == 0 && error->kind != Failure::kTimeout) {
            error->kind = Failure::kTimeout;
            error->text = "no connection within the timeout";
        }
    }
    if (fd < 0) return nullptr;
    std::unique_ptr<RedisTransport> transport(new RedisTransport(fd));
    if (settings.tls && !host.empty()) {
        transport->mTls = TlsSession::Start(fd, host, settings, deadline, error);
        if (!transport->mTls) return nullptr;
    }
    return transport;
}

RedisTransport::~RedisTransport() {
    mTls.reset();
    close(mSocket);
}

bool RedisTransport::Send(const char* data, size_t size, ULONGLONG deadline, RedisError* error) {
    size_t done = 0;
    while (done < size) {
        bool wantWrite = true;
        error->text.clear();
        long sent = mTls ? mTls->Send(data + done, size - done, &wantWrite, error)
                         : static_cast<long>(send(mSocket, data + done, size - done, MSG_NOSIGNAL));
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (WaitFor(mSocket, wantWrite, deadline)) continue;
            error->kind = Failure::kTimeout;
            error->text = "Redis took no bytes within the timeout";
            return false;
        }
        if (!mTls || error->text.empty()) {
            error->kind = Failure::kBroken;
            error->text = sent == 0 ? "the connection closed" : SystemText("sending failed", errno);
        }
        return false;
    }
    return true;
}

size_t RedisTransport::Receive(char* buffer, size_t size, ULONGLONG deadline, RedisError* error) {
    for (;;) {
        bool wantWrite = false;
        error->text.clear();
        long got = mTls ? mTls->Receive(buffer, size, &wantWrite, error) : static_cast<long>(recv(mSocket, buffer, size, 0));
        if (got > 0) return static_cast<size_t>(got);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (WaitFor(mSocket, wantWrite, deadline)) continue;
            error->kind = Failure::kTimeout;
            error->text = "no answer from Redis within the timeout";
            return 0;
        }
        if (got == 0 || !mTls || error->text.empty()) {
            error->kind = Failure::kBroken;
            error->text = got == 0 ? "Redis closed the connection" : SystemText("receiving failed", errno);
        }
        return 0;
    }
}
