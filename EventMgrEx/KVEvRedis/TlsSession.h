// TlsSession.h -- TLS over a connected socket (OpenSSL), the peer's certificate and name checked, no write able to raise SIGPIPE.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "FailureLog.h"

struct RedisSettings;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// The socket stays its owner's (non-blocking); the session reads and writes it through a BIO of
// our own that sends with MSG_NOSIGNAL, as OpenSSL's socket BIO would write() and let a closed
// peer raise SIGPIPE in the host.
class TlsSession {
public:
    // Shakes hands with the peer at `host` before `deadline` (GetTickCount64): the certificate
    // must chain to tlsCaFile (or the system's authorities) and name tlsServerName (or `host`).
    static std::unique_ptr<TlsSession> Start(int socket, const std::string& host, const RedisSettings& settings,
                                             ULONGLONG deadline, RedisError* error);
    ~TlsSession();
    // Frees OpenSSL's state of the calling thread (its error queue). A thread that does TLS work
    // for a while, such as a pooled handler leading a batch, calls it when done: OpenSSL frees
    // it at the thread's end only while the library is still up, and a host that exits with
    // threads still running would otherwise leave it behind.
    static void ReleaseThreadState();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As send/recv on a non-blocking socket: bytes moved, or -1 with `*wantWrite` saying which way
    // to wait (errno EAGAIN), or -1 with `error` set when the session failed; Receive returns 0
    // at the peer's close.
    long Send(const char* data, size_t size, bool* wantWrite, RedisError* error);
    long Receive(char* buffer, size_t size, bool* wantWrite, RedisError* error);

private:
    TlsSession(SSL_CTX* context, SSL* ssl) : mContext(context), mSsl(ssl) {}
    long Outcome(int result, bool* wantWrite, RedisError* error, const char* what);

    SSL_CTX* mContext;
    SSL* mSsl;
};
