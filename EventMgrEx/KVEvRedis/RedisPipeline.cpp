// RedisPipeline.cpp -- batching deliveries for the stream writer, cooling off after a timeout, and counting what became of each.
#include "RedisPipeline.h"

#include "NeverDestroyed.h"

namespace {

const size_t kMaxPipeline = 256;  // entries sent in one round trip
const ULONGLONG kCoolOffMs = 5000;

}  // namespace

RedisPipeline& RedisPipeline::Shared() {
    // Never destroyed: deliveries and the replay may still run while the process exits.
    static NeverDestroyed<RedisPipeline> pipeline;
    return pipeline.get();
}

RedisPipeline::RedisPipeline()
    : mCommit([this](const std::vector<Batch*>& batches, std::vector<DWORD>&) { Work(batches); }) {}

bool RedisPipeline::CoolingOff() const { return GetTickCount64() < mCoolOffUntil.load(); }

void RedisPipeline::Add(const std::vector<StreamEntry*>& entries, const RedisSettings& settings, bool probe) {
    if (!probe && CoolingOff()) {
        for (StreamEntry* entry : entries) {
            entry->added = false;
            entry->coolingOff = true;
            entry->error = RedisError{Failure::kTimeout, "Redis did not answer in time a moment ago"};
        }
        mSkipped += entries.size();
        return;
    }
    Batch batch{&entries, &settings};
    mCommit.Commit(batch);
    for (StreamEntry* entry : entries) {
        if (entry->added) {
            ++(entry->duplicate ? mDuplicates : mAdded);
        } else if (!entry->coolingOff) {
            NoteFailure(*entry, settings);
        }
    }
}

void RedisPipeline::Work(const std::vector<Batch*>& batches) {
    // Settings are read once a second: the newest caller's serve the whole batch.
    const RedisSettings& settings = *batches.back()->settings;
    std::vector<StreamEntry*> all;
    for (const Batch* batch : batches) all.insert(all.end(), batch->entries->begin(), batch->entries->end());
    for (StreamEntry* entry : all) entry->coolingOff = false;
    bool timedOut = false, answered = false;
    for (size_t first = 0; first < all.size(); first += kMaxPipeline) {
        std::vector<StreamEntry*> part(all.begin() + first, all.begin() + std::min(all.size(), first + kMaxPipeline));
        if (timedOut) {
            // Behind a timeout the rest of the batch does not wait again.
            for (StreamEntry* entry : part) {
                entry->coolingOff = true;
                entry->error = RedisError{Failure::kTimeout, "Redis did not answer in time"};
            }
            continue;
        }
        mWriter.Add(part, settings);
        for (StreamEntry* entry : part) {
            if (entry->added) answered = true;
            else if (entry->error.kind == Failure::kTimeout) timedOut = true;
        }
    }
    if (timedOut) mCoolOffUntil = GetTickCount64() + kCoolOffMs;
    else if (answered) mCoolOffUntil = 0;
}

void RedisPipeline::NoteFailure(const StreamEntry& entry, const RedisSettings& settings) {
    const Failure kind = entry.error.kind;
    const std::string size = std::to_string(entry.body.size());
    std::string line;
    if (kind == Failure::kRefused || kind == Failure::kReadOnly) {
        line = "CRedisEventManager::Connection: Redis refused a message of " + size + " bytes for " + settings.stream + ": " +
               entry.error.text;
    } else if (kind == Failure::kNotReplicated) {
        line = "CRedisEventManager::Connection: a message of " + size + " bytes did not reach " +
               std::to_string(settings.minReplicas) + " replicas in time: " + entry.error.text;
    } else if (kind == Failure::kTimeout || kind == Failure::kBroken) {
        line = "CRedisEventManager::Connection: the connection to " + settings.Describe() + " failed with a message of " + size +
               " bytes unanswered: " + entry.error.text;
    } else {
        line = "CRedisEventManager::Connection: cannot connect to Redis at " + settings.Describe() + ": " + entry.error.text;
    }
    FailureLog::Note(kind, 1, line);
}
