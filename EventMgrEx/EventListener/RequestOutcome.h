// RequestOutcome.h -- what became of one connection's request: who sent it, how much, how it was framed, the result and its times.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "PeerAddress.h"

enum class RequestFraming : uint8_t { None, Length, Chunked, Get, Head };

// Every way a connection can end. The line of each is part of the log's format.
enum class RequestResult : uint8_t {
    Delivered,          // answered, and Deliver succeeded
    DeliveryFailed,     // Deliver returned a failure
    NoEventManager,     // the event manager could not be created
    NoMemory,           // the message could not be made into a string
    ComFailed,          // COM could not be initialised on the handler thread
    Answered,           // GET or HEAD: a monitor's check, never delivered
    Refused,            // answered with a 4xx or 5xx status (see `status`), nothing delivered
    PeerLimit,          // closed at once: its address had maxConnectionsPerPeer open already
    TimedOut,           // no complete request in time: closed without reply
    Incomplete,         // the peer closed part-way through a request
    ClosedEarly,        // closed before a single byte: no event at all
    WakeUp,             // the listener's own stop handshake
    ReceiveFailed,      // the connection failed (a reset)
    EndedByStop,        // the listener stopped while the request was still arriving
    EndedAtExit,        // the process exited while the request was still arriving
    Exception,          // an unexpected failure of our own
};

const char* RequestFramingText(RequestFraming framing);
const char* RequestResultText(RequestResult result);

struct RequestOutcome {
    PeerAddress peer;
    uint64_t bytesReceived = 0;  // everything the peer sent, header section included
    uint64_t bodyBytes = 0;      // the body handed to the event manager
    RequestFraming framing = RequestFraming::None;
    RequestResult result = RequestResult::Exception;
    unsigned status = 0;         // the HTTP status answered; 0 when nothing was answered
    HRESULT deliverResult = S_OK;
    ULONGLONG acceptedAt = 0;    // GetTickCount64 times; 0 when the step never came
    ULONGLONG receivedAt = 0;    // the whole request was in
    ULONGLONG answeredAt = 0;
    ULONGLONG deliveryMs = 0;    // the time Deliver took (and the event manager's creation)
    ULONGLONG endedAt = 0;

    // Something reached (or was meant for) the event manager.
    bool ReachedDelivery() const {
        return result == RequestResult::Delivered || result == RequestResult::DeliveryFailed ||
               result == RequestResult::NoEventManager || result == RequestResult::NoMemory ||
               result == RequestResult::ComFailed;
    }

    // The request's line in the log (level 4).
    void Log() const;
};
