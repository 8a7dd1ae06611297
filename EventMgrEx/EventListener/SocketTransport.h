// SocketTransport.h -- the plain TCP connection as a transport: select() with a deadline beside the stop signal.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>

#include "StopSignal.h"
#include "Transport.h"
#include "UniqueHandle.h"

class SocketTransport final : public Transport {
public:
    // Owns `connection`, which came from `peer` (as accept() said); waits also watch `stop` (may be null).
    SocketTransport(UniqueSocket connection, const PeerAddress& peer, std::shared_ptr<StopSignal> stop);
    ~SocketTransport() override { Close(); }

    Receive ReceiveBefore(ULONGLONG deadline, char* buffer, size_t capacity, size_t* got) override;
    bool Send(const char* data, size_t size) override;
    void FinishSending(DWORD lingerMs) override;
    void Close() override;
    const PeerAddress& Peer() const override { return mPeer; }
    unsigned LocalPort() const override;

private:
    enum class Wait { Readable, TimedOut, Stopped, Failed };
    Wait WaitReadable(ULONGLONG deadline);

    UniqueSocket mSocket;
    std::shared_ptr<StopSignal> mStop;
    PeerAddress mPeer;
};
