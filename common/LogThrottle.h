// LogThrottle.h -- lets a recurring line through at most once per interval, and counts what happened in between.
#pragma once

#include <windows.h>

#include <atomic>

// Safe to share between threads: one of them writes the line, the others only count. A peer that
// misbehaves a thousand times a second costs one line a second, never a thousand.
class LogThrottle {
public:
    explicit LogThrottle(DWORD intervalMs = 1000) : mIntervalMs(intervalMs) {}

    // Counts one occurrence. True when a line may be written now; `*count` is then the number of
    // occurrences since the last line, this one included.
    bool Due(unsigned long* count) {
        mPending.fetch_add(1, std::memory_order_relaxed);
        ULONGLONG now = GetTickCount64();
        ULONGLONG last = mLast.load(std::memory_order_relaxed);
        if (last != 0 && now - last < mIntervalMs) return false;
        // Of the threads that find the line due, the one that moves the time on writes it.
        if (!mLast.compare_exchange_strong(last, now ? now : 1)) return false;
        *count = mPending.exchange(0);
        return true;
    }

private:
    const DWORD mIntervalMs;
    std::atomic<ULONGLONG> mLast{0};
    std::atomic<unsigned long> mPending{0};
};
