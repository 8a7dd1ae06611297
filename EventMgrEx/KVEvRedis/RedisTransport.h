// RedisTransport.h -- a byte stream to one Redis server (TCP, Unix socket, TLS): every wait bounded, no signal ever raised.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "FailureLog.h"
#include "TlsSession.h"

struct RedisSettings;

// hiredis writes with write(), so a peer that has closed raises SIGPIPE in the host; and its
// name resolution has no timeout. This transport sends with MSG_NOSIGNAL (TLS through a BIO that
// does the same), resolves in a helper thread it does not wait for past the deadline, connects
// without blocking, and bounds each Send and Receive by a deadline (GetTickCount64). It leaves
// the host's signal handling as it found it.
class RedisTransport {
public:
    // `address`: "host:port", "[v6 address]:port" or the path of a Unix socket. With TLS (settings),
    // TCP connections shake hands before this returns.
    static std::unique_ptr<RedisTransport> Connect(const std::string& address, const RedisSettings& settings,
                                                   ULONGLONG deadline, RedisError* error);
    ~RedisTransport();
    RedisTransport(const RedisTransport&) = delete;
    RedisTransport& operator=(const RedisTransport&) = delete;

    bool Send(const char* data, size_t size, ULONGLONG deadline, RedisError* error);
    // Waits until `deadline` for bytes: their count, or 0 with `error` set (closed, broke, timed out).
    size_t Receive(char* buffer, size_t size, ULONGLONG deadline, RedisError* error);

    bool Tls() const { return mTls != nullptr; }

private:
    explicit RedisTransport(int socket) : mSocket(socket) {}

    int mSocket;
    std::unique_ptr<TlsSession> mTls;
};
