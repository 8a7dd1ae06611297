// EventId.cpp -- drawing the process's random half once, counting the other half.
#include "EventId.h"

#include <stdio.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

unsigned long long ProcessPart() {
    static std::once_flag drawn;
    static unsigned long long part = 0;
    std::call_once(drawn, [] {
        if (getrandom(&part, sizeof(part), 0) != sizeof(part)) {
            // No entropy source: the time in nanoseconds and the process id still differ between
            // restarts and between the processes of a host.
            timespec now = {};
            clock_gettime(CLOCK_REALTIME, &now);
            part = (static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL + now.tv_nsec) ^
                   (static_cast<unsigned long long>(getpid()) << 40);
        }
    });
    return part;
}

std::atomic<unsigned long long> gCount{0};

}  // namespace

namespace EventId {

std::string Next() {
    char text[40];
    snprintf(text, sizeof(text), "%016llx%016llx", ProcessPart(), gCount.fetch_add(1) + 1);
    return text;
}

}  // namespace EventId
