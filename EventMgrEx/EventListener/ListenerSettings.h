// ListenerSettings.h -- the intake's limits, read from the Listener key when the listener starts.
#pragma once

#include <windows.h>

#include <stdint.h>

// REG_DWORD values under HKLM\SOFTWARE\Korvane\KVLumen\Listener. An absent value means its
// default; a value of another type or out of its range means the default too, and a level-2
// line names it.
struct ListenerSettings {
    DWORD maxRequestKB = 1024;        // 1..262144: header section and body together
    DWORD requestTimeoutMs = 60000;   // 1000..3600000: from the accept to the complete request
    DWORD maxConnections = 512;       // 1..16384: handlers running at once

    uint64_t MaxRequestBytes() const { return uint64_t(maxRequestKB) * 1024; }

    static ListenerSettings Read();
};
