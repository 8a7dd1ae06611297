// FallbackReplay.cpp -- the replay thread: draining the fallback folder through the pipeline, in order, stopping at the first file Redis does not take.
#include "FallbackReplay.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "FallbackFolder.h"
#include "ListenerIdentity.h"
#include "Logging.h"
#include "NeverDestroyed.h"
#include "RedisEventManager.h"
#include "RedisPipeline.h"

namespace {

const size_t kReplayBatch = 128;  // files added in one round trip

struct State {
    std::mutex lock;
    bool running = false;
    bool wanted = false;
};
NeverDestroyed<State> gState;
std::atomic<unsigned long long> gReplayed{0};

// True when the folder is empty (or there is none).
bool ReplayOnce() {
    const RedisSettings settings = RedisSettings::Current();
    if (settings.fallback.empty()) {
        RedisError error;
        RedisPipeline::Shared().Writer().Probe(settings, &error);
        return true;
    }
    std::shared_ptr<SpoolFolder> folder = SpoolFolder::Open(settings.fallback);
    const std::string listener = ListenerIdentity::Get();
    bool stopped = false;
    bool offered = false;
    size_t replayed = folder->Drain(kReplayBatch, [&](const std::vector<SpoolFolder::StoredMessage>& messages) {
        offered = true;
        std::vector<StreamEntry> entries;
        entries.reserve(messages.size());
        std::vector<StreamEntry*> pending;
        for (const SpoolFolder::StoredMessage& message : messages) {
            entries.push_back(FallbackFolder::Read(message, settings.fallback, listener));
            pending.push_back(&entries.back());
        }
        RedisPipeline::Shared().Add(pending, settings, true);
        size_t taken = 0, found = 0;
        for (; taken < entries.size() && entries[taken].added; ++taken) found += entries[taken].duplicate ? 1 : 0;
        // Sent before (a connection that broke before its answer, a replay cut short): the
        // stream had them, and they were not added again.
        if (found > 0) KVLOG(3, "CRedisEventManager::ReplayOnce: %lu messages were in the stream already", static_cast<unsigned long>(found));
        if (taken < entries.size()) stopped = true;
        return taken;
    });
    gReplayed += replayed;
    if (replayed > 0) {
        KVLOG(3, "CRedisEventManager::ReplayOnce: %lu messages from %s are in the stream %s", static_cast<unsigned long>(replayed),
              settings.fallback.c_str(), settings.stream.c_str());
    }
    if (!offered) {
        // Nothing to replay: still learn whether Redis answers, for the status.
        RedisError error;
        RedisPipeline::Shared().Writer().Probe(settings, &error);
    }
    return !stopped;
}

void Loop() {
    State& state = gState.get();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(state.lock);
            if (!state.wanted) {
                state.running = false;
                break;
            }
            state.wanted = false;
        }
        bool complete = false;
        try {
            complete = ReplayOnce();
        } catch (...) {
            KVLOG(1, "CRedisEventManager::ReplayLoop: Exception occurred");
        }
        if (!complete) {
            {
                std::lock_guard<std::mutex> hold(state.lock);
                state.wanted = true;
            }
            Sleep(std::max<DWORD>(RedisSettings::Current().timeoutMs, 200));
        }
    }
    CRedisEventManager::Module().ObjectDestroyed();
}

}  // namespace

namespace FallbackReplay {

void Schedule() {
    State& state = gState.get();
    std::lock_guard<std::mutex> hold(state.lock);
    state.wanted = true;
    if (state.running) return;
    // The thread keeps the module loaded and its log open until it ends.
    CRedisEventManager::Module().ObjectCreated();
    try {
        std::thread(Loop).detach();
        state.running = true;
    } catch (...) {
        CRedisEventManager::Module().ObjectDestroyed();
        KVLOG(1, "CRedisEventManager::ScheduleReplay: cannot start the replay thread; the fallback folder is replayed when a message next comes");
    }
}

void StartAtLoad() {
    static std::once_flag started;
    std::call_once(started, [] { Schedule(); });
}

unsigned long long Replayed() { return gReplayed.load(); }

}  // namespace FallbackReplay
