// RedisEventManager.cpp -- the COM object: a delivery into the stream or the fallback folder, and the status it reports.
#include "RedisEventManager.h"

#include <stdio.h>
#include <sys/stat.h>

#include <atomic>

#include "EventId.h"
#include "FallbackFolder.h"
#include "FallbackReplay.h"
#include "FailureLog.h"
#include "ListenerIdentity.h"
#include "Logging.h"
#include "NeverDestroyed.h"
#include "RedisPipeline.h"
#include "SpoolFolder.h"
#include "UtcTime.h"

extern "C" const CLSID CLSID_RedisEventManager = {0x3C2B7E58, 0x9A41, 0x4F0D, {0x8E, 0x6A, 0x51, 0xD7, 0xC0, 0xB4, 0xA2, 0xF3}};

namespace {

std::atomic<unsigned long long> gKept{0};

BSTR Wide(const std::string& text) {
    BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (wide)
        for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

void Metric(std::string& out, const char* name, const char* type, const char* help, unsigned long long value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
           std::to_string(value) + "\n";
}

}  // namespace

EventManagerModule& CRedisEventManager::Module() {
    // Never destroyed: deliveries may still run while the process exits.
    static NeverDestroyed<EventManagerModule> module("KVEvRedis", CLSID_RedisEventManager, "KVLumen Redis stream event manager",
                                                     &CRedisEventManager::Create, &CRedisEventManager::ReleaseShared);
    return module.get();
}

CRedisEventManager::CRedisEventManager() {
    // The first object of the process starts the replay: files an earlier process left go in
    // without waiting for an event.
    FallbackReplay::StartAtLoad();
}

void CRedisEventManager::ReleaseShared() {
    RedisPipeline::Shared().Writer().Close();
    SpoolFolder::ForgetAll();
}

HRESULT CRedisEventManager::Deliver(BSTR message, BSTR* response) {
    if (response) *response = nullptr;
    try {
        const RedisSettings settings = RedisSettings::Current();
        StreamEntry entry;
        entry.id = EventId::Next();
        entry.body = SpoolFolder::MessageBytes(message);
        entry.received = UtcTime::Now();
        entry.listener = ListenerIdentity::Get();
        RedisPipeline::Shared().Add({&entry}, settings, false);
        if (!entry.added) {
            const std::string size = std::to_string(entry.body.size());
            if (settings.fallback.empty()) {
                FailureLog::Note(Failure::kLost, 1,
                                 "CRedisEventManager::Deliver: a message of " + size + " bytes is lost: Redis did not take it (" +
                                     entry.error.text + ") and no fallbackSpool is set");
                return E_FAIL;
            }
            std::string name;
            if (!FallbackFolder::Keep(entry, settings.fallback, &name)) {
                FailureLog::Note(Failure::kFallback, 1,
                                 "CRedisEventManager::Deliver: a message of " + size + " bytes is lost: Redis did not take it (" +
                                     entry.error.text + ") and the fallback folder " + settings.fallback + " did not either");
                return E_FAIL;
            }
            ++gKept;
            KVLOG(5, "CRedisEventManager::Deliver: a message of %s bytes is kept in %s until Redis takes it (%s)", size.c_str(),
                  name.c_str(), entry.error.text.c_str());
            FallbackReplay::Schedule();
        }
        if (response) *response = SysAllocString(entry.added ? L"<DeliverResult>added</DeliverResult>" : L"<DeliverResult>kept</DeliverResult>");
        return S_OK;
    } catch (...) {
        KVLOG(1, "CRedisEventManager::Deliver: Exception occurred");
        return E_FAIL;
    }
}

HRESULT CRedisEventManager::GetStatus(VARIANT_BOOL* ready, BSTR* summary, BSTR* metrics) {
    if (ready) *ready = VARIANT_FALSE;
    if (summary) *summary = nullptr;
    if (metrics) *metrics = nullptr;
    try {
        const RedisSettings settings = RedisSettings::Current();
        RedisPipeline& pipeline = RedisPipeline::Shared();
        StreamWriter::Status writer = pipeline.Writer().Snapshot();
        if (!writer.tried) {
            // Asked before anything tried Redis (a host reporting at start): find out, within
            // timeoutMs, rather than say "not ready" for want of trying.
            RedisError error;
            pipeline.Writer().Probe(settings, &error);
            writer = pipeline.Writer().Snapshot();
        }
        const bool coolingOff = pipeline.CoolingOff();
        const bool up = writer.connected && !coolingOff;
        size_t waiting = 0;
        bool fallbackUsable = false;
        if (!settings.fallback.empty()) {
            struct stat info;
            fallbackUsable = stat(settings.fallback.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
            waiting = fallbackUsable ? SpoolFolder::Open(settings.fallback)->Count() : 0;
            // Files that wait while no replay runs (the folder was set again, or appeared) get one.
            if (waiting > 0) FallbackReplay::Schedule();
        }
        std::string line = "Redis " + settings.Describe();
        if (writer.connected) {
            line += ": connected to " + writer.node + (writer.tls ? " over TLS" : "");
            if (!settings.sentinels.empty()) line += " (the primary the sentinels name)";
        } else {
            line += writer.lastError.empty() ? ": not connected yet" : ": not connected (" + writer.lastError + ")";
        }
        if (coolingOff) line += "; cooling off after a timeout, deliveries go to the fallback folder";
        line += "; stream " + settings.stream;
        if (settings.fallback.empty()) line += "; no fallback folder";
        else line += "; fallback folder " + settings.fallback + (fallbackUsable ? ": " + std::to_string(waiting) + " files waiting" : ": missing");
        line += "; " + std::to_string(FallbackReplay::Replayed()) + " entries replayed";

        std::string figures;
        Metric(figures, "kvlumen_redis_up", "gauge", "1 while the last exchange with Redis succeeded and no timeout is being waited out.", up ? 1 : 0);
        Metric(figures, "kvlumen_redis_tls", "gauge", "1 when the connection to Redis is TLS.", writer.connected && writer.tls ? 1 : 0);
        Metric(figures, "kvlumen_redis_entries_added_total", "counter", "Entries added to the stream by deliveries and replays.", pipeline.Added());
        Metric(figures, "kvlumen_redis_duplicates_suppressed_total", "counter",
               "Entries whose id the stream already had (an earlier attempt had added them): not added again.", pipeline.Duplicates());
        Metric(figures, "kvlumen_redis_fallback_kept_total", "counter", "Messages kept in the fallback folder because Redis did not take them.", gKept.load());
        Metric(figures, "kvlumen_redis_fallback_files", "gauge", "Files waiting in the fallback folder.", waiting);
        Metric(figures, "kvlumen_redis_entries_replayed_total", "counter", "Entries added from the fallback folder.", FallbackReplay::Replayed());
        Metric(figures, "kvlumen_redis_cooling_off_skipped_total", "counter",
               "Messages sent to the fallback folder at once, without waiting, after Redis timed out.", pipeline.SkippedCoolingOff());
        Metric(figures, "kvlumen_redis_trimmed_entries_total", "counter", "Entries trimmed after every consumer group had read them.", writer.trimmed);
        figures += "# HELP kvlumen_redis_failures_total Messages that met each kind of failure on their way into the stream.\n"
                   "# TYPE kvlumen_redis_failures_total counter\n";
        for (int kind = 0; kind < static_cast<int>(Failure::kCount); ++kind) {
            figures += std::string("kvlumen_redis_failures_total{kind=\"") + FailureLog::Label(static_cast<Failure>(kind)) + "\"} " +
                       std::to_string(FailureLog::Count(static_cast<Failure>(kind))) + "\n";
        }
        if (ready) *ready = up || fallbackUsable ? VARIANT_TRUE : VARIANT_FALSE;
        if (summary && !(*summary = Wide(line))) return E_OUTOFMEMORY;
        if (metrics && !(*metrics = Wide(figures))) {
            if (summary) {
                SysFreeString(*summary);
                *summary = nullptr;
            }
            return E_OUTOFMEMORY;
        }
        return S_OK;
    } catch (...) {
        KVLOG(1, "CRedisEventManager::GetStatus: Exception occurred");
        return E_FAIL;
    }
}
