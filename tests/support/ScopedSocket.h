// ScopedSocket.h -- a socket that is closed on every path out of a test, failed assertions included.
#pragma once

#include <winsock2.h>

class ScopedSocket {
public:
    explicit ScopedSocket(SOCKET s = INVALID_SOCKET) : mSocket(s) {}
    ~ScopedSocket() { reset(); }
    ScopedSocket(const ScopedSocket&) = delete;
    ScopedSocket& operator=(const ScopedSocket&) = delete;
    SOCKET get() const { return mSocket; }
    bool valid() const { return mSocket != INVALID_SOCKET; }
    void reset(SOCKET s = INVALID_SOCKET) {
        if (mSocket != INVALID_SOCKET) closesocket(mSocket);
        mSocket = s;
    }
    SOCKET release() {
        SOCKET s = mSocket;
        mSocket = INVALID_SOCKET;
        return s;
    }

private:
    SOCKET mSocket;
};
