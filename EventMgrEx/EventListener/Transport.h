// Transport.h -- how a connection handler talks to its peer: receive with a deadline, send, close.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "PeerAddress.h"

// The handler never touches a socket itself: everything it does with its peer goes through here,
// so that another transport (a test's, a TLS one) can sit in the socket's place.
class Transport {
public:
    enum class Receive {
        Bytes,     // `*got` bytes arrived
        Closed,    // the peer has closed its side
        TimedOut,  // nothing arrived before the deadline
        Stopped,   // the listener is stopping or the process exits
        Failed,    // the connection failed (a reset)
    };

    virtual ~Transport() = default;

    // Waits until bytes arrive (or the peer's end), the deadline (a GetTickCount64 time) passes or
    // the listener stops, then takes up to `capacity` bytes. Never blocks past the deadline.
    virtual Receive ReceiveBefore(ULONGLONG deadline, char* buffer, size_t capacity, size_t* got) = 0;
    // Sends all of `data`; false when the connection failed first.
    virtual bool Send(const char* data, size_t size) = 0;
    // Says no more will be sent, then reads and drops what the peer still sends for up to
    // `lingerMs`: closing with unread bytes resets the connection, and the reset can overtake an
    // answer the peer has not read yet.
    virtual void FinishSending(DWORD lingerMs) = 0;
    // Shuts the connection down both ways and closes it; later calls do nothing.
    virtual void Close() = 0;

    virtual const PeerAddress& Peer() const = 0;
    // The port the peer connected to; 0 when unknown.
    virtual unsigned LocalPort() const = 0;
};
