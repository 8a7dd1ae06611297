// StatusPages.h -- what the listener says about itself over HTTP: /metrics for machines, /status for people, /health for load balancers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ListenerCounters.h"
#include "PeerTable.h"

// How the event manager is, as far as one object of it can say.
struct EventManagerState {
    bool created = false;        // an object could be made
    HRESULT createResult = S_OK;
    bool reportsStatus = false;  // it offers IEventManagerStatus
    bool ready = true;           // what it says of itself (true when it says nothing)
    std::string summary;         // its one line for people
    std::string metrics;         // its own figures, in the exposition format
};

// Figures of the moment that are not counters.
struct ListenerGauges {
    long connectionsOpen = 0;
    long connectionsWaiting = 0;
    long handlerThreads = 0;
    long idleHandlerThreads = 0;
    unsigned long long bufferedBytes = 0;
    unsigned port = 0;
    std::string acknowledge;  // "received" or "stored"
    std::string statusFrom;
    std::string allowedPeers;
};

struct HealthVerdict {
    bool healthy;
    std::string reason;  // one line, for the body of the answer
};

// 200 while deliveries succeed (or none was tried and the event manager can be made and says it is
// ready); 503 when it cannot be made, says it is not ready, or the last deliveries failed and none
// has succeeded since.
HealthVerdict JudgeHealth(const ListenerCounters::Health& health, const EventManagerState& manager);

// The Prometheus text format, version 0.0.4: every figure with its HELP and TYPE lines, then the
// event manager's own.
std::string MetricsText(const ListenerCounters::Snapshot& counters, const ListenerGauges& gauges,
                        const EventManagerState& manager, size_t printers);

// One self-contained HTML page: the counters, the event manager and its state, events per minute
// over the last hour as an inline SVG chart, and one row per printer address, sorted by `sortKey`
// ("last" -- the longest silent first --, "address", "events" or "failures").
std::string StatusPage(const ListenerCounters::Snapshot& counters, const ListenerGauges& gauges,
                       const EventManagerState& manager, const HealthVerdict& health,
                       std::vector<PeerTable::Row> rows, const std::string& sortKey);

// A whole answer: status line, Content-Type, Content-Length, Connection: close, and the body
// unless `headOnly`.
std::string HttpAnswer(unsigned status, const char* contentType, const std::string& body, bool headOnly);
