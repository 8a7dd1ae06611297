// ListenerSettings.h -- the intake's limits and promises, read from the Listener key when the listener starts.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "AddressFilter.h"

// What a 200 means to the printer.
enum class Acknowledge : uint8_t {
    Received,  // the whole request arrived: answered at once, delivered afterwards
    Stored,    // Deliver succeeded: answered after it, 503 when it failed
};

// Values under HKLM\SOFTWARE\Korvane\KVLumen\Listener. An absent value means its default; a value
// of another type or out of its range means the default too, and a level-2 line names it.
struct ListenerSettings {
    DWORD maxRequestKB = 1024;          // 1..262144: header section and body together
    DWORD requestTimeoutMs = 60000;     // 1000..3600000: from the accept to the complete request
    DWORD headerTimeoutMs = 10000;      // 1000..3600000: from the accept to the complete header section
    DWORD maxConnections = 512;         // 1..16384: connections served at once
    DWORD maxConnectionsPerPeer = 64;   // 1..16384: of those, from one address
    DWORD maxBufferedMB = 256;          // 1..2048: request bytes held at once, all connections together
    DWORD stopDrainMs = 30000;          // 0..600000: how long a stop waits for deliveries under way
    Acknowledge acknowledge = Acknowledge::Received;  // REG_SZ "received" or "stored"
    AddressFilter statusFrom = AddressFilter::Loopback();  // REG_SZ: who may read /metrics and /status
    AddressFilter allowedPeers = AddressFilter::Everyone();  // REG_SZ: who may deliver events

    uint64_t MaxRequestBytes() const { return uint64_t(maxRequestKB) * 1024; }
    uint64_t MaxBufferedBytes() const { return uint64_t(maxBufferedMB) * 1024 * 1024; }

    static ListenerSettings Read();
};
