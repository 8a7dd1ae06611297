// RedisEventManager.cpp -- delivering messages into a Redis stream, with a spool folder for what Redis cannot take.
#include "RedisEventManager.h"

#include <hiredis/hiredis.h>

#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Logging.h"
#include "NeverDestroyed.h"
#include "RegistryValue.h"
#include "SpoolFolder.h"

extern "C" const CLSID CLSID_RedisEventManager = {0x3C2B7E58, 0x9A41, 0x4F0D, {0x8E, 0x6A, 0x51, 0xD7, 0xC0, 0xB4, 0xA2, 0xF3}};

namespace {

const char kConfigKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager\\Redis";
const char kDefaultAddress[] = "127.0.0.1:6379";
const char kDefaultStream[] = "kvlumen:events";
const DWORD kDefaultMaxLength = 1000000;
const DWORD kDefaultTimeoutMs = 2000;
const ULONGLONG kSettingsLifetimeMs = 1000;
const ULONGLONG kListenerLifetimeMs = 10000;
const size_t kMaxPipeline = 256;      // entries sent in one round trip
const size_t kReplayBatch = 128;      // fallback files added in one round trip
const size_t kSearchPage = 200;       // entries per XRANGE when looking for an unconfirmed one
const size_t kSearchLimit = 100000;   // entries looked at before it counts as absent

struct Settings {
    std::string address;
    std::string stream;
    DWORD maxLength = kDefaultMaxLength;
    DWORD timeoutMs = kDefaultTimeoutMs;
    std::string fallback;
};

std::string ReadString(HKEY key, const char* name, const char* fallback) {
    char text[4096] = {};
    DWORD size = sizeof(text);
    if (!key || QueryStringValue(key, name, text, &size) != ERROR_SUCCESS || !text[0]) return fallback;
    return text;
}

DWORD ReadDword(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (!key || RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value)) {
        return fallback;
    }
    return value;
}

// Read again at most once a second: a delivery costs no registry lookups. Never destroyed, as
// deliveries and the replay may still run while the process exits.
struct SettingsCache {
    std::mutex lock;
    Settings settings;
    ULONGLONG readAt = 0;
    bool read = false;
};
NeverDestroyed<SettingsCache> gSettings;

Settings CurrentSettings() {
    SettingsCache& cache = gSettings.get();
    std::lock_guard<std::mutex> hold(cache.lock);
    const ULONGLONG now = GetTickCount64();
    if (cache.read && now - cache.readAt < kSettingsLifetimeMs) return cache.settings;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
    Settings settings;
    settings.address = ReadString(key, "address", kDefaultAddress);
    settings.stream = ReadString(key, "stream", kDefaultStream);
    settings.maxLength = ReadDword(key, "maxLength", kDefaultMaxLength);
    settings.timeoutMs = ReadDword(key, "timeoutMs", kDefaultTimeoutMs);
    if (settings.timeoutMs == 0) settings.timeoutMs = kDefaultTimeoutMs;
    settings.fallback = ReadString(key, "fallbackSpool", "");
    if (key) RegCloseKey(key);
    cache.settings = settings;
    cache.readAt = now;
    cache.read = true;
    return settings;
}

std::string UtcText(long long unixMicroseconds) {
    time_t seconds = static_cast<time_t>(unixMicroseconds / 1000000);
    long micro = static_cast<long>(unixMicroseconds % 1000000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900, parts.tm_mon + 1,
             parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, micro);
    return text;
}

std::string UtcNow() {
    using namespace std::chrono;
    return UtcText(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

std::string UtcText(const FILETIME& time) {
    const long long ticks = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return UtcText((ticks - 116444736000000000LL) / 10);  // 100 ns since 1601 to microseconds since 1970
}

// "host:port": the host name and the TCP ports this process listens on. COM gives the event
// manager no way to ask the listener, but its listening sockets are in this process; they are
// looked up again every ten seconds, so a listener restarted on another port is seen.
struct ListenerCache {
    std::mutex lock;
    std::string identity;
    ULONGLONG foundAt = 0;
};
NeverDestroyed<ListenerCache> gListener;

std::string ListenerIdentity() {
    ListenerCache& cache = gListener.get();
    std::lock_guard<std::mutex> hold(cache.lock);
    const ULONGLONG now = GetTickCount64();
    if (!cache.identity.empty() && now - cache.foundAt < kListenerLifetimeMs) return cache.identity;
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    std::set<unsigned> ports;
    if (DIR* descriptors = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(descriptors)) {
            char* end = nullptr;
            long fd = strtol(entry->d_name, &end, 10);
            if (!end || *end || end == entry->d_name) continue;
            int listening = 0, type = 0;
            socklen_t length = sizeof(listening);
            if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening)
                continue;
            length = sizeof(type);
            if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) continue;
            sockaddr_storage address = {};
            length = sizeof(address);
            if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
            if (address.ss_family == AF_INET) ports.insert(ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port));
            if (address.ss_family == AF_INET6) ports.insert(ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port));
        }
        closedir(descriptors);
    }
    std::string identity = host;
    const char* separator = ":";
    for (unsigned port : ports) {
        identity += separator + std::to_string(port);
        separator = ",";
    }
    cache.identity = identity;
    cache.foundAt = now;
    return identity;
}

// One message on its way into the stream, and what became of it.
struct Entry {
    std::string body;
    std::string received;
    std::string listener;
    std::string stream;
    DWORD maxLength = 0;

    enum Outcome { kAdded, kRefused, kUnsent, kUnconfirmed };
    Outcome outcome = kUnsent;
    std::string error;       // Redis's words when not added
    std::string after;       // kUnconfirmed: the stream's last entry known before it was sent
    bool done = false;       // under the connection's lock
    Entry* next = nullptr;   // the connection's queue, which so never allocates
};

// Entries sent on a connection that broke before Redis answered, by the fallback file that now
// holds each: the replay looks for them in the stream before it adds them.
struct UnconfirmedTable {
    std::mutex lock;
    std::map<std::string, Entry> entries;  // by "<folder>|<file name>"
};
NeverDestroyed<UnconfirmedTable> gUnconfirmed;

std::string UnconfirmedKey(const std::string& folder, const std::string& name) {
    return folder + "|" + name.substr(name.find_last_of('/') + 1);
}

struct ReplayState {
    std::mutex lock;
    bool running = false;
    bool wanted = false;
};
NeverDestroyed<ReplayState> gReplay;

}  // namespace

// The process's one connection. Whoever finds it free becomes the sender: it takes what is
// queued (its own entry and what other deliveries added meanwhile) and sends it as one pipeline.
// Only the sender touches the hiredis context, and one sender at a time.
class CRedisEventManager::Connection {
public:
    // Adds the entries (in their order) and returns when Redis has answered for each, or it is
    // known that it will not.
    void Add(const std::vector<Entry*>& entries, const Settings& settings) {
        // Allocated before anything is queued: once an entry is in the queue nothing can throw
        // before it is done.
        std::vector<Entry*> pipeline;
        pipeline.reserve(kMaxPipeline);
        std::unique_lock<std::mutex> hold(mLock);
        for (Entry* entry : entries) {
            entry->next = nullptr;
            (mTail ? mTail->next : mHead) = entry;
            mTail = entry;
        }
        for (Entry* entry : entries) {
            while (!entry->done) {
                if (mBusy) {
                    mChanged.wait(hold);
                    continue;
                }
                mBusy = true;
                pipeline.clear();
                while (mHead && pipeline.size() < kMaxPipeline) {
                    pipeline.push_back(mHead);
                    mHead = mHead->next;
                }
                if (!mHead) mTail = nullptr;
                hold.unlock();
                try {
                    Send(pipeline, settings);
                } catch (...) {
                    // Out of memory half way: what was not answered may or may not have been sent,
                    // and the connection goes with whatever it still holds. Nothing here allocates.
                    KVLOG(1, "CRedisEventManager::Connection: out of memory while sending %lu messages",
                          static_cast<unsigned long>(pipeline.size()));
                    Disconnect();
                    for (Entry* unanswered : pipeline) {
                        if (unanswered->outcome == Entry::kAdded || unanswered->outcome == Entry::kRefused) continue;
                        unanswered->outcome = Entry::kUnconfirmed;
                        unanswered->error.clear();
                        unanswered->after.clear();
                    }
                }
                hold.lock();
                for (Entry* sent : pipeline) sent->done = true;
                mBusy = false;
                mChanged.notify_all();
            }
        }
    }

    // Whether `entry` (unconfirmed) is in the stream after its `after`: 1 yes, 0 no, -1 Redis
    // cannot tell now.
    int Contains(const Entry& entry, const Settings& settings) {
        return Exclusive([&]() -> int {
            std::string error;
            if (!EnsureConnected(settings, &error)) return -1;
            std::string from = entry.after.empty() || entry.after == "0-0" ? "-" : "(" + entry.after;
            for (size_t seen = 0; seen < kSearchLimit;) {
                std::string count = std::to_string(kSearchPage);
                const char* argv[] = {"XRANGE", entry.stream.c_str(), from.c_str(), "+", "COUNT", count.c_str()};
                redisReply* reply = Command(6, argv, nullptr);
                if (!reply) return -1;
                // An error (a Redis still loading its data after a restart says LOADING) tells
                // nothing about the stream: taking it for "not there" would add the entry twice.
                if (reply->type == REDIS_REPLY_ERROR) {
                    KVLOG(2, "CRedisEventManager::Connection::Contains: Redis at %s cannot search %s now: %.*s", mAddress.c_str(),
                          entry.stream.c_str(), static_cast<int>(reply->len), reply->str);
                    freeReplyObject(reply);
                    return -1;
                }
                int found = 0;
                size_t page = reply->type == REDIS_REPLY_ARRAY ? reply->elements : 0;
                for (size_t i = 0; i < page && !found; ++i) {
                    redisReply* item = reply->element[i];
                    if (item->type != REDIS_REPLY_ARRAY || item->elements != 2) continue;
                    from = "(" + std::string(item->element[0]->str, item->element[0]->len);
                    found = Matches(item->element[1], entry) ? 1 : 0;
                }
                freeReplyObject(reply);
                if (found) return 1;
                if (page < kSearchPage) return 0;
                seen += page;
            }
            KVLOG(2, "CRedisEventManager::Connection::Contains: no answer within %lu entries of %s; the message is added again",
                  static_cast<unsigned long>(kSearchLimit), entry.stream.c_str());
            return 0;
        });
    }

    void Close() {
        Exclusive([&] {
            Disconnect();
            return 0;
        });
    }

private:
    template <class Work>
    int Exclusive(Work work) {
        std::unique_lock<std::mutex> hold(mLock);
        while (mBusy) mChanged.wait(hold);
        mBusy = true;
        hold.unlock();
        int result = -1;
        try {
            result = work();
        } catch (...) {
            Disconnect();  // whatever the work left half done on it
        }
        hold.lock();
        mBusy = false;
        mChanged.notify_all();
        return result;
    }

    static bool Matches(const redisReply* fields, const Entry& entry) {
        if (fields->type != REDIS_REPLY_ARRAY) return false;
        int matched = 0;
        for (size_t i = 0; i + 1 < fields->elements; i += 2) {
            std::string name(fields->element[i]->str, fields->element[i]->len);
            std::string value(fields->element[i + 1]->str, fields->element[i + 1]->len);
            if ((name == "body" && value == entry.body) || (name == "received" && value == entry.received) ||
                (name == "listener" && value == entry.listener)) {
                ++matched;
            }
        }
        return matched == 3;
    }

    void Disconnect() {
        if (mContext) redisFree(mContext);
        mContext = nullptr;
        mLastIdStream.clear();
    }

    // One command on the connection; null (and the connection closed) when it broke. A reply
    // that is an error comes back as a reply.
    redisReply* Command(int argc, const char** argv, const size_t* lengths) {
        redisReply* reply = static_cast<redisReply*>(redisCommandArgv(mContext, argc, argv, lengths));
        if (!reply) {
            KVLOG(1, "CRedisEventManager::Connection: the connection to %s broke: %s", mAddress.c_str(), mContext->errstr);
            Disconnect();
        }
        return reply;
    }

    bool EnsureConnected(const Settings& settings, std::string* error) {
        if (mContext && (mContext->err || mAddress != settings.address || mTimeoutMs != settings.timeoutMs)) Disconnect();
        if (mContext) return true;
        const ULONGLONG now = GetTickCount64();
        // After a failed attempt, deliveries do not each wait for another one.
        if (mAddress == settings.address && now < mQuietUntil) {
            *error = mLastError;
            return false;
        }
        mAddress = settings.address;
        mTimeoutMs = settings.timeoutMs;
        timeval timeout = {static_cast<time_t>(settings.timeoutMs / 1000), static_cast<suseconds_t>((settings.timeoutMs % 1000) * 1000)};
        redisContext* context = nullptr;
        std::string failure;
        if (!settings.address.empty() && settings.address[0] == '/') {
            context = redisConnectUnixWithTimeout(settings.address.c_str(), timeout);
        } else {
            size_t colon = settings.address.rfind(':');
            std::string host = colon == std::string::npos ? settings.address : settings.address.substr(0, colon);
            if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
            char* end = nullptr;
            long port = colon == std::string::npos ? -1 : strtol(settings.address.c_str() + colon + 1, &end, 10);
            if (port > 0 && port < 65536 && end && !*end && !host.empty())
                context = redisConnectWithTimeout(host.c_str(), static_cast<int>(port), timeout);
            else
                failure = "the address is neither host:port nor a socket path";
        }
        if (context && !context->err && redisSetTimeout(context, timeout) == REDIS_OK) {
            // A peer that vanishes without a word is noticed; Unix sockets have no such option.
            if (context->connection_type == REDIS_CONN_TCP) redisEnableKeepAlive(context);
            mContext = context;
            if (mDown) KVLOG(3, "CRedisEventManager::Connection: Redis at %s answers again", mAddress.c_str());
            mDown = false;
            return true;
        }
        if (context) failure = context->err ? context->errstr : "cannot set the timeout";
        else if (failure.empty()) failure = "cannot allocate a connection";
        if (context) redisFree(context);
        mLastError = failure;
        mQuietUntil = now + settings.timeoutMs;
        mDown = true;
        KVLOG(1, "CRedisEventManager::Connection: cannot connect to Redis at %s: %s", settings.address.c_str(), failure.c_str());
        *error = failure;
        return false;
    }

    // The stream's last entry: entries sent from now on come after it.
    bool FetchLastId(const std::string& stream) {
        const char* argv[] = {"XREVRANGE", stream.c_str(), "+", "-", "COUNT", "1"};
        redisReply* reply = Command(6, argv, nullptr);
        if (!reply) return false;
        mLastId = "0-0";
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 1 && reply->element[0]->type == REDIS_REPLY_ARRAY &&
            reply->element[0]->elements == 2) {
            mLastId.assign(reply->element[0]->element[0]->str, reply->element[0]->element[0]->len);
        }
        freeReplyObject(reply);
        mLastIdStream = stream;
        return true;
    }

    void Send(const std::vector<Entry*>& pipeline, const Settings& settings) {
        std::string error;
        if (!EnsureConnected(settings, &error) || (mLastIdStream != pipeline[0]->stream && !FetchLastId(pipeline[0]->stream))) {
            for (Entry* entry : pipeline) {
                entry->outcome = Entry::kUnsent;
                entry->error = error.empty() ? "the connection broke" : error;
            }
            return;
        }
        const std::string after = mLastIdStream == pipeline[0]->stream ? mLastId : std::string();
        for (Entry* entry : pipeline) {
            std::string maxLength = std::to_string(entry->maxLength);
            std::string bytes = std::to_string(entry->body.size());
            std::vector<const char*> argv = {"XADD", entry->stream.c_str()};
            if (entry->maxLength > 0) argv.insert(argv.end(), {"MAXLEN", "~", maxLength.c_str()});
            argv.insert(argv.end(), {"*", "body", entry->body.data(), "received", entry->received.c_str(), "listener",
                                     entry->listener.c_str(), "bytes", bytes.c_str()});
            std::vector<size_t> lengths;
            for (const char* arg : argv) lengths.push_back(arg == entry->body.data() ? entry->body.size() : strlen(arg));
            redisAppendCommandArgv(mContext, static_cast<int>(argv.size()), argv.data(), lengths.data());
        }
        size_t answered = 0;
        for (; answered < pipeline.size(); ++answered) {
            void* answer = nullptr;
            if (redisGetReply(mContext, &answer) != REDIS_OK || !answer) break;
            redisReply* reply = static_cast<redisReply*>(answer);
            Entry* entry = pipeline[answered];
            if (reply->type == REDIS_REPLY_STRING) {
                entry->outcome = Entry::kAdded;
                if (entry->stream == mLastIdStream) mLastId.assign(reply->str, reply->len);
            } else {
                entry->outcome = Entry::kRefused;
                entry->error = reply->type == REDIS_REPLY_ERROR ? std::string(reply->str, reply->len) : "an unexpected answer";
                KVLOG(1, "CRedisEventManager::Connection: Redis at %s refused a message of %lu bytes for %s: %s",
                      mAddress.c_str(), static_cast<unsigned long>(entry->body.size()), entry->stream.c_str(), entry->error.c_str());
            }
            freeReplyObject(reply);
        }
        if (answered < pipeline.size()) {
            error = mContext->errstr;
            KVLOG(1, "CRedisEventManager::Connection: the connection to %s broke with %lu messages unanswered: %s",
                  mAddress.c_str(), static_cast<unsigned long>(pipeline.size() - answered), error.c_str());
            for (size_t i = answered; i < pipeline.size(); ++i) {
                pipeline[i]->outcome = Entry::kUnconfirmed;
                pipeline[i]->error = error;
                pipeline[i]->after = after;
            }
            Disconnect();
        }
    }

    std::mutex mLock;
    std::condition_variable mChanged;
    Entry* mHead = nullptr;
    Entry* mTail = nullptr;
    bool mBusy = false;

    // The sender's alone.
    redisContext* mContext = nullptr;
    std::string mAddress;
    DWORD mTimeoutMs = 0;
    std::string mLastId;
    std::string mLastIdStream;
    std::string mLastError;
    ULONGLONG mQuietUntil = 0;
    bool mDown = false;
};

namespace {

// Keeps a message Redis did not take in the fallback folder; false (and a level-1 line) when it
// is lost.
bool KeepInFallback(const Entry& entry, const Settings& settings) {
    const unsigned long size = static_cast<unsigned long>(entry.body.size());
    if (settings.fallback.empty()) {
        KVLOG(1, "CRedisEventManager::Deliver: a message of %lu bytes is lost: Redis did not take it (%s) and no fallbackSpool is set",
              size, entry.error.c_str());
        return false;
    }
    std::string name;
    // An entry that may be in the stream already is known as such before its file can be seen:
    // the replay, which looks it up under the same lock once it has found the file, must not take
    // it for a new message and add it again.
    UnconfirmedTable& table = gUnconfirmed.get();
    std::unique_lock<std::mutex> hold(table.lock, std::defer_lock);
    if (entry.outcome == Entry::kUnconfirmed) hold.lock();
    if (!SpoolFolder::Open(settings.fallback)->Store(entry.body, &name)) {
        KVLOG(1, "CRedisEventManager::Deliver: a message of %lu bytes is lost: Redis did not take it (%s) and the fallback folder %s did not either",
              size, entry.error.c_str(), settings.fallback.c_str());
        return false;
    }
    if (entry.outcome == Entry::kUnconfirmed) table.entries[UnconfirmedKey(settings.fallback, name)] = entry;
    if (hold.owns_lock()) hold.unlock();
    KVLOG(5, "CRedisEventManager::Deliver: a message of %lu bytes is kept in %s until Redis takes it (%s)", size, name.c_str(),
          entry.error.c_str());
    return true;
}

}  // namespace

EventManagerModule& CRedisEventManager::Module() {
    // Never destroyed: deliveries may still run while the process exits.
    static NeverDestroyed<EventManagerModule> module("KVEvRedis", CLSID_RedisEventManager, "KVLumen Redis stream event manager",
                                                     &CRedisEventManager::Create, &CRedisEventManager::ReleaseShared);
    return module.get();
}

CRedisEventManager::Connection& CRedisEventManager::SharedConnection() {
    // Never destroyed: deliveries and the replay may still run while the process exits.
    static NeverDestroyed<Connection> connection;
    return connection.get();
}

void CRedisEventManager::ReleaseShared() {
    SharedConnection().Close();
    SpoolFolder::ForgetAll();
}

void CRedisEventManager::ScheduleReplay() {
    ReplayState& replay = gReplay.get();
    std::lock_guard<std::mutex> hold(replay.lock);
    replay.wanted = true;
    if (replay.running) return;
    try {
        // The thread keeps the module loaded and its log open until it ends.
        Module().ObjectCreated();
        std::thread(&CRedisEventManager::ReplayLoop).detach();
        replay.running = true;
    } catch (...) {
        Module().ObjectDestroyed();
        KVLOG(1, "CRedisEventManager::ScheduleReplay: cannot start the replay thread; the fallback folder is replayed when a message next comes");
    }
}

void CRedisEventManager::ReplayLoop() {
    ReplayState& replay = gReplay.get();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(replay.lock);
            if (!replay.wanted) {
                replay.running = false;
                break;
            }
            replay.wanted = false;
        }
        bool complete = false;
        try {
            complete = ReplayOnce();
        } catch (...) {
            KVLOG(1, "CRedisEventManager::ReplayLoop: Exception occurred");
        }
        if (!complete) {
            {
                std::lock_guard<std::mutex> hold(replay.lock);
                replay.wanted = true;
            }
            Sleep(CurrentSettings().timeoutMs);
        }
    }
    Module().ObjectDestroyed();
}

bool CRedisEventManager::ReplayOnce() {
    const Settings settings = CurrentSettings();
    if (settings.fallback.empty()) return true;
    bool stopped = false;
    const std::string listener = ListenerIdentity();
    size_t replayed = SpoolFolder::Open(settings.fallback)->Drain(kReplayBatch, [&](const std::vector<SpoolFolder::StoredMessage>& messages) {
        std::vector<Entry> entries(messages.size());
        std::vector<Entry*> pending;
        std::vector<bool> present(messages.size(), false);
        for (size_t i = 0; i < messages.size(); ++i) {
            Entry& entry = entries[i];
            const std::string key = UnconfirmedKey(settings.fallback, messages[i].name);
            bool unconfirmed = false;
            {
                UnconfirmedTable& table = gUnconfirmed.get();
                std::lock_guard<std::mutex> hold(table.lock);
                auto found = table.entries.find(key);
                if (found != table.entries.end()) {
                    entry = found->second;
                    unconfirmed = true;
                }
            }
            if (unconfirmed && entry.outcome == Entry::kAdded) {
                // Added by an earlier replay whose batch stopped before its file could go.
                present[i] = true;
            } else if (unconfirmed) {
                // Sent once already: added only if the stream does not have it.
                int contains = SharedConnection().Contains(entry, settings);
                if (contains < 0) break;
                present[i] = contains == 1;
                KVLOG(3, "CRedisEventManager::ReplayOnce: a message of %lu bytes sent before a connection broke %s",
                      static_cast<unsigned long>(entry.body.size()), present[i] ? "is in the stream already" : "is added now");
            } else {
                // Its own time of arrival is the time the file was written.
                entry.body = messages[i].bytes;
                entry.received = UtcText(messages[i].stored);
                entry.listener = listener;
            }
            entry.stream = settings.stream;
            entry.maxLength = settings.maxLength;
            entry.outcome = Entry::kUnsent;
            entry.done = false;
            if (!present[i]) pending.push_back(&entry);
        }
        SharedConnection().Add(pending, settings);
        // The files are taken up to the first one the stream does not have; behind it, every entry
        // that was sent is remembered (added, or sent without an answer) so that the next replay
        // does not add it again.
        size_t taken = 0;
        bool taking = true;
        UnconfirmedTable& table = gUnconfirmed.get();
        std::lock_guard<std::mutex> hold(table.lock);
        for (size_t i = 0; i < messages.size(); ++i) {
            Entry& entry = entries[i];
            const std::string key = UnconfirmedKey(settings.fallback, messages[i].name);
            bool inStream = present[i] || (entry.done && entry.outcome == Entry::kAdded);
            if (taking && inStream) {
                table.entries.erase(key);
                ++taken;
                continue;
            }
            taking = false;
            // Behind the first file that stays, an entry the stream has (added now, or found)
            // keeps its file too: remembered as added, it is not sent a second time.
            if (inStream) {
                entry.outcome = Entry::kAdded;
                table.entries[key] = entry;
            } else if (entry.done && entry.outcome == Entry::kUnconfirmed) {
                table.entries[key] = entry;
            }
        }
        if (taken < messages.size()) stopped = true;
        return taken;
    });
    if (replayed > 0) {
        KVLOG(3, "CRedisEventManager::ReplayOnce: %lu messages from %s are in the stream %s", static_cast<unsigned long>(replayed),
              settings.fallback.c_str(), settings.stream.c_str());
    }
    return !stopped;
}

HRESULT CRedisEventManager::Deliver(BSTR message, BSTR* response) {
    if (response) *response = nullptr;
    try {
        static std::once_flag firstDelivery;
        const Settings settings = CurrentSettings();
        // What an earlier process left in the fallback folder goes first.
        std::call_once(firstDelivery, [&] {
            if (!settings.fallback.empty() && SpoolFolder::Open(settings.fallback)->Count() > 0) ScheduleReplay();
        });
        Entry entry;
        entry.body = SpoolFolder::MessageBytes(message);
        entry.received = UtcNow();
        entry.listener = ListenerIdentity();
        entry.stream = settings.stream;
        entry.maxLength = settings.maxLength;
        SharedConnection().Add({&entry}, settings);
        if (entry.outcome != Entry::kAdded) {
            if (!KeepInFallback(entry, settings)) return E_FAIL;
            ScheduleReplay();
        }
        if (response) *response = SysAllocString(entry.outcome == Entry::kAdded ? L"<DeliverResult>added</DeliverResult>"
                                                                                : L"<DeliverResult>kept</DeliverResult>");
        return S_OK;
    } catch (...) {
        KVLOG(1, "CRedisEventManager::Deliver: Exception occurred");
        return E_FAIL;
    }
}
