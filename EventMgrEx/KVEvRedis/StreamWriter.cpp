// StreamWriter.cpp -- the add and trim scripts, the pipeline of one round trip, and following the stream from node to node.
#include "StreamWriter.h"

#include <string.h>

#include "Logging.h"
#include "PrimaryLocator.h"

namespace {

// KEYS: the stream, the id's key. ARGV: seconds an id is remembered, maxLength (0: none), id,
// body, received, listener, bytes. Returns {entry id, 1 when added now, 0 when it was there}.
const char kAddScript[] = R"lua(
local known = redis.call('GET', KEYS[2])
if known then return {known, 0} end
local added
if ARGV[2] == '0' then
  added = redis.call('XADD', KEYS[1], '*', 'body', ARGV[4], 'received', ARGV[5], 'listener', ARGV[6], 'bytes', ARGV[7], 'id', ARGV[3])
else
  added = redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[2], '*', 'body', ARGV[4], 'received', ARGV[5], 'listener', ARGV[6],
                     'bytes', ARGV[7], 'id', ARGV[3])
end
redis.call('SET', KEYS[2], added, 'EX', ARGV[1])
return {added, 1}
)lua";

// KEYS: the stream. Removes the entries that every consumer group has been delivered and has
// acknowledged: below the oldest of each group's last delivered id (plus one) and its oldest
// pending entry. No group, no trimming. Returns {entries removed, entries left}.
const char kTrimScript[] = R"lua(
local function parse(id)
  local ms, seq = string.match(id, '^(%d+)-(%d+)$')
  return tonumber(ms), tonumber(seq)
end
local function before(ams, aseq, bms, bseq) return ams < bms or (ams == bms and aseq < bseq) end
if redis.call('TYPE', KEYS[1])['ok'] ~= 'stream' then return {0, 0} end
local groups = redis.call('XINFO', 'GROUPS', KEYS[1])
local length = redis.call('XLEN', KEYS[1])
if #groups == 0 then return {0, length} end
local bms, bseq
for _, group in ipairs(groups) do
  local info = {}
  for i = 1, #group, 2 do info[group[i]] = group[i + 1] end
  local ms, seq = parse(info['last-delivered-id'])
  seq = seq + 1
  if info['pending'] > 0 then
    local pms, pseq = parse(redis.call('XPENDING', KEYS[1], info['name'])[2])
    if before(pms, pseq, ms, seq) then ms, seq = pms, pseq end
  end
  if not bms or before(ms, seq, bms, bseq) then bms, bseq = ms, seq end
end
local trimmed = redis.call('XTRIM', KEYS[1], 'MINID', string.format('%.0f-%.0f', bms, bseq))
return {trimmed, length - trimmed}
)lua";

const ULONGLONG kTrimIntervalMs = 1000;
const ULONGLONG kTrimWarningIntervalMs = 60000;
const int kAttempts = 5;

// The key that remembers an id: in the stream's cluster slot, so that one script may touch both.
std::string IdKey(const std::string& stream, const std::string& id) {
    size_t open = stream.find('{');
    size_t close = open == std::string::npos ? std::string::npos : stream.find('}', open + 1);
    const bool tagged = close != std::string::npos && close > open + 1;
    return (tagged ? stream : "{" + stream + "}") + ":id:" + id;
}

// The address in "MOVED 3999 127.0.0.1:6381" or "ASK ...".
std::string RedirectTarget(const redisReply* reply) {
    std::string text = ReplyText(reply);
    size_t space = text.rfind(' ');
    return space == std::string::npos ? std::string() : text.substr(space + 1);
}

bool Contains(const redisReply* reply, const char* word) {
    return reply && reply->type == REDIS_REPLY_ERROR && std::string(reply->str, reply->len).find(word) != std::string::npos;
}

}  // namespace

void StreamWriter::Add(const std::vector<StreamEntry*>& entries, const RedisSettings& settings) {
    std::lock_guard<std::mutex> hold(mWork);
    std::vector<StreamEntry*> pending = entries;
    for (StreamEntry* entry : pending) {
        entry->added = false;
        entry->duplicate = false;
        entry->error = RedisError{Failure::kConnect, "not sent"};
    }
    for (int attempt = 0; attempt < kAttempts && !pending.empty(); ++attempt) {
        RedisError error;
        const ULONGLONG started = GetTickCount64();
        if (!EnsureConnected(settings, started + settings.timeoutMs, &error)) {
            for (StreamEntry* entry : pending) entry->error = error;
            return;
        }
        std::vector<StreamEntry*> retry;
        Redirects redirects;
        if (!Exchange(*mConnection, pending, settings, false, &retry, &redirects, &error)) {
            NoteConnected(nullptr, error.text);
            Disconnect();
            return;
        }
        if (!redirects.asked.empty()) {
            // The slot is moving: these entries go to its new node this once.
            std::unique_ptr<RedisConnection> target = Connect(redirects.ask, settings, GetTickCount64() + settings.timeoutMs, &error);
            if (!target || !Exchange(*target, redirects.asked, settings, true, &retry, &redirects, &error)) {
                for (StreamEntry* entry : redirects.asked)
                    if (!entry->added) entry->error = error;
            }
        }
        if (!redirects.moved.empty()) {
            mMovedTo = redirects.moved;
            Disconnect();
        } else if (redirects.readOnly) {
            KVLOG(2, "StreamWriter::Add: %s answers READONLY: a failover made it a replica; looking for the primary again",
                  mConnection ? mConnection->Address().c_str() : "Redis");
            mMovedTo.clear();
            Disconnect();
        } else if (redirects.reload) {
            Disconnect();  // the next connection loads the scripts again
        }
        pending.swap(retry);
    }
    TrimIfDue(settings);
}

bool StreamWriter::Probe(const RedisSettings& settings, RedisError* error) {
    std::lock_guard<std::mutex> hold(mWork);
    return EnsureConnected(settings, GetTickCount64() + settings.timeoutMs, error);
}

void StreamWriter::Close() {
    std::lock_guard<std::mutex> hold(mWork);
    Disconnect();
}

StreamWriter::Status StreamWriter::Snapshot() {
    std::lock_guard<std::mutex> hold(mStatusLock);
    return mStatus;
}

void StreamWriter::Disconnect() {
    if (!mConnection) return;
    mConnection.reset();
    std::lock_guard<std::mutex> hold(mStatusLock);
    mStatus.connected = false;
}

void StreamWriter::NoteConnected(RedisConnection* connection, const std::string& error) {
    std::lock_guard<std::mutex> hold(mStatusLock);
    mStatus.connected = connection != nullptr;
    if (connection) {
        mStatus.node = connection->Address();
        mStatus.tls = connection->Tls();
        mStatus.lastError.clear();
    } else {
        mStatus.lastError = error;
    }
}

std::unique_ptr<RedisConnection> StreamWriter::Connect(const std::string& address, const RedisSettings& settings,
                                                       ULONGLONG deadline, RedisError* error) {
    std::unique_ptr<RedisConnection> connection = RedisConnection::Open(address, RedisConnection::kData, settings, deadline, error);
    if (!connection) return nullptr;
    connection->Append({"SCRIPT", "LOAD", kAddScript});
    connection->Append({"SCRIPT", "LOAD", kTrimScript});
    if (!settings.sentinels.empty()) connection->Append({"ROLE"});
    if (!connection->Flush(deadline, error)) return nullptr;
    std::string* shas[] = {&mAddSha, &mTrimSha};
    for (std::string* sha : shas) {
        RedisReply reply = connection->Read(deadline, error);
        if (!reply) return nullptr;
        if (reply->type != REDIS_REPLY_STRING) {
            error->kind = IsError(reply.get(), "NOAUTH") || IsError(reply.get(), "NOPERM") ? Failure::kAuth : Failure::kRefused;
            error->text = "SCRIPT LOAD refused: " + ReplyText(reply.get());
            return nullptr;
        }
        *sha = ReplyText(reply.get());
    }
    if (!settings.sentinels.empty()) {
        // The sentinels may still name a primary that a failover has just demoted.
        RedisReply role = connection->Read(deadline, error);
        if (!role) return nullptr;
        if (role->type != REDIS_REPLY_ARRAY || role->elements == 0 || ReplyText(role->element[0]) != "master") {
            error->kind = Failure::kReadOnly;
            error->text = "the sentinels name " + address + ", which is not a primary now";
            return nullptr;
        }
    }
    return connection;
}

bool StreamWriter::EnsureConnected(const RedisSettings& settings, ULONGLONG deadline, RedisError* error) {
    if (mConnection && !settings.SameServer(mConnectedWith)) {
        Disconnect();
        mMovedTo.clear();
    }
    if (mConnection) return true;
    std::string address = mMovedTo;
    if (address.empty() && !PrimaryLocator::Find(settings, deadline, &address, error)) {
        NoteConnected(nullptr, error->text);
        mDown = true;
        return false;
    }
    mConnection = Connect(address, settings, deadline, error);
    if (!mConnection) {
        // A node named by MOVED that does not answer: next time the configured address again.
        mMovedTo.clear();
        if (address != settings.address) error->text = address + ": " + error->text;
        NoteConnected(nullptr, error->text);
        mDown = true;
        return false;
    }
    mConnectedWith = settings;
    NoteConnected(mConnection.get(), std::string());
    if (mDown) KVLOG(3, "StreamWriter: Redis at %s answers again", address.c_str());
    mDown = false;
    return true;
}

bool StreamWriter::Exchange(RedisConnection& connection, const std::vector<StreamEntry*>& entries, const RedisSettings& settings,
                            bool asking, std::vector<StreamEntry*>* retry, Redirects* redirects, RedisError* error) {
    const std::string dedup = std::to_string(settings.dedupSeconds);
    const std::string maxLength = std::to_string(settings.maxLength);
    for (StreamEntry* entry : entries) {
        if (asking) connection.Append({"ASKING"});
        const std::string key = IdKey(settings.stream, entry->id);
        const std::string bytes = std::to_string(entry->body.size());
        const char* argv[] = {"EVALSHA",         mAddSha.c_str(),         "2",
                              settings.stream.c_str(), key.c_str(),     dedup.c_str(),
                              maxLength.c_str(), entry->id.c_str(),       entry->body.data(),
                              entry->received.c_str(), entry->listener.c_str(), bytes.c_str()};
        size_t lengths[12];
        for (int i = 0; i < 12; ++i) lengths[i] = argv[i] == entry->body.data() ? entry->body.size() : strlen(argv[i]);
        connection.Append(12, argv, lengths);
    }
    const bool waiting = settings.minReplicas > 0;
    if (waiting) connection.Append({"WAIT", std::to_string(settings.minReplicas), std::to_string(settings.timeoutMs)});
    const ULONGLONG started = GetTickCount64();
    if (!connection.Flush(started + settings.timeoutMs, error)) {
        for (StreamEntry* entry : entries) entry->error = *error;
        return false;
    }
    // WAIT may itself take up to timeoutMs once the entries are in.
    const ULONGLONG deadline = started + settings.timeoutMs + (waiting ? settings.timeoutMs : 0);
    std::vector<StreamEntry*> addedNow;
    for (size_t i = 0; i < entries.size(); ++i) {
        StreamEntry* entry = entries[i];
        // After ASKING comes its +OK; whatever it says, the entry's own reply tells what happened.
        RedisReply reply = asking ? connection.Read(deadline, error) : RedisReply();
        if (!asking || reply) reply = connection.Read(deadline, error);
        if (!reply) {
            for (size_t j = i; j < entries.size(); ++j) entries[j]->error = *error;
            return false;
        }
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 2) {
            entry->added = true;
            entry->duplicate = reply->element[1]->type == REDIS_REPLY_INTEGER && reply->element[1]->integer == 0;
            addedNow.push_back(entry);
        } else if (IsError(reply.get(), "MOVED")) {
            redirects->moved = RedirectTarget(reply.get());
            entry->error = RedisError{Failure::kRefused, ReplyText(reply.get())};
            retry->push_back(entry);
        } else if (IsError(reply.get(), "ASK") && !asking) {
            redirects->ask = RedirectTarget(reply.get());
            redirects->asked.push_back(entry);
        } else if (Contains(reply.get(), "READONLY")) {
            redirects->readOnly = true;
            entry->error = RedisError{Failure::kReadOnly, ReplyText(reply.get())};
            retry->push_back(entry);
        } else if (IsError(reply.get(), "NOSCRIPT")) {
            redirects->reload = true;
            entry->error = RedisError{Failure::kRefused, ReplyText(reply.get())};
            retry->push_back(entry);
        } else {
            entry->error = RedisError{Failure::kRefused, ReplyText(reply.get())};
        }
    }
    if (waiting) {
        RedisReply reply = connection.Read(deadline, error);
        if (!reply) {
            for (StreamEntry* entry : addedNow) {
                entry->added = false;
                entry->error = *error;
            }
            return false;
        }
        if (reply->type != REDIS_REPLY_INTEGER || reply->integer < static_cast<long long>(settings.minReplicas)) {
            for (StreamEntry* entry : addedNow) {
                entry->added = false;
                entry->error = RedisError{Failure::kNotReplicated, "WAIT " + std::to_string(settings.minReplicas) + " " +
                                                                       std::to_string(settings.timeoutMs) + " answered " +
                                                                       ReplyText(reply.get())};
            }
        }
    }
    return true;
}

void StreamWriter::TrimIfDue(const RedisSettings& settings) {
    const ULONGLONG now = GetTickCount64();
    if (!mConnection || now - mTrimmedAt < kTrimIntervalMs) return;
    mTrimmedAt = now;
    RedisError error;
    RedisReply reply = mConnection->Command({"EVALSHA", mTrimSha, "1", settings.stream}, now + settings.timeoutMs, &error);
    if (!reply) {
        Disconnect();
        return;
    }
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 || reply->element[0]->type != REDIS_REPLY_INTEGER ||
        reply->element[1]->type != REDIS_REPLY_INTEGER) {
        if (now - mTrimWarnedAt >= kTrimWarningIntervalMs) {
            mTrimWarnedAt = now;
            KVLOG(2, "StreamWriter::TrimIfDue: trimming %s failed: %s", settings.stream.c_str(), ReplyText(reply.get()).c_str());
        }
        return;
    }
    const long long trimmed = reply->element[0]->integer;
    const long long left = reply->element[1]->integer;
    {
        std::lock_guard<std::mutex> hold(mStatusLock);
        mStatus.trimmed += static_cast<unsigned long long>(trimmed);
    }
    if (settings.maxLength > 0 && left >= static_cast<long long>(settings.maxLength) / 10 * 9 && now - mTrimWarnedAt >= kTrimWarningIntervalMs) {
        mTrimWarnedAt = now;
        KVLOG(2, "StreamWriter::TrimIfDue: %s holds %lld entries not yet read by every consumer group, near maxLength %lu: "
                 "beyond it the oldest are trimmed unread",
              settings.stream.c_str(), left, static_cast<unsigned long>(settings.maxLength));
    }
}
