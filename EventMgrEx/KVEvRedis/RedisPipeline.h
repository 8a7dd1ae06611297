// RedisPipeline.h -- concurrent deliveries share one connection: the first to find it free sends what all of them wait with, as one pipeline.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "GroupCommit.h"
#include "RedisSettings.h"
#include "StreamEntry.h"
#include "StreamWriter.h"

// Built on GroupCommit: a burst costs one round trip (and one fsync of an append-only Redis)
// instead of one per event, and a batch's end wakes only its own callers. After a timeout the
// pipeline cools off: for a while deliveries do not wait for Redis at all (their entries come
// back at once, marked `coolingOff`) while the replay of the fallback folder keeps probing; the
// first exchange that succeeds ends it.
class RedisPipeline {
public:
    static RedisPipeline& Shared();

    // Adds the entries; each ends added or with its error. `probe` (the replay): also while
    // cooling off. Failures are counted and logged here, throttled by kind.
    void Add(const std::vector<StreamEntry*>& entries, const RedisSettings& settings, bool probe);
    bool CoolingOff() const;
    StreamWriter& Writer() { return mWriter; }

    unsigned long long Added() const { return mAdded.load(); }
    unsigned long long Duplicates() const { return mDuplicates.load(); }
    unsigned long long SkippedCoolingOff() const { return mSkipped.load(); }

    RedisPipeline();

private:
    struct Batch {
        const std::vector<StreamEntry*>* entries;
        const RedisSettings* settings;
    };
    void Work(const std::vector<Batch*>& batches);
    void NoteFailure(const StreamEntry& entry, const RedisSettings& settings);

    StreamWriter mWriter;
    GroupCommit<Batch> mCommit;
    std::atomic<ULONGLONG> mCoolOffUntil{0};
    std::atomic<unsigned long long> mAdded{0};
    std::atomic<unsigned long long> mDuplicates{0};
    std::atomic<unsigned long long> mSkipped{0};
};
