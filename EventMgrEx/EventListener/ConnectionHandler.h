// ConnectionHandler.h -- one connection from its first byte to its close: receive one whole request within its limits, answer it, deliver its body.
#pragma once

#include <windows.h>

#include <string>

#include "EventManagerFactory.h"
#include "RequestOutcome.h"
#include "RequestText.h"
#include "StatusPages.h"
#include "TransferState.h"
#include "Transport.h"

struct ListenerRun;

// Belongs to one handler thread and serves its connections one after another. Only a whole
// request becomes an event: one that is malformed, too large, incomplete when its peer closes or
// too slow is refused (or, when its peer cannot read any more, just closed) and never delivered.
// With acknowledge "received" the printer's 200 goes out as soon as the request is whole (and its
// message could be made); with "stored" only once Deliver has succeeded, else it gets 503.
class ConnectionHandler {
public:
    // Event managers come from COM, or from `managers` when given (it must outlive the handler).
    explicit ConnectionHandler(EventManagerSource* managers = nullptr) : mManagers(managers ? *managers : mFactory) {}
    ConnectionHandler(const ConnectionHandler&) = delete;
    ConnectionHandler& operator=(const ConnectionHandler&) = delete;

    // Serves the connection on the calling thread until all is said and delivered, reports what
    // became of it to the connection service and returns it; the caller closes the transport.
    RequestOutcome Serve(Transport& transport, const ListenerRun& run, ULONGLONG acceptedAt);

private:
    enum class Intake;
    struct Request;

    Intake Receive(Transport& transport, const ListenerRun& run, Request& request);
    void Answer(Transport& transport, const ListenerRun& run, Request& request, RequestOutcome& outcome);
    // Answers `status` with `reason`, then lets the peer finish sending; `logged` when the caller
    // has said why already.
    void Refuse(Transport& transport, unsigned status, const char* reason, RequestOutcome& outcome, bool logged = false);
    void DeliverWhole(Transport& transport, const ListenerRun& run, Request& request, RequestOutcome& outcome);
    RequestResult Deliver(BSTR message, uint64_t size, const PeerAddress& peer, HRESULT* result);
    // What one event manager object says of itself (made and released here).
    EventManagerState ManagerState();

    EventManagerFactory mFactory;
    EventManagerSource& mManagers;
    DWORD mLingerMs = 0;  // the peer may still be sending: read and drop for this long before the close
};
