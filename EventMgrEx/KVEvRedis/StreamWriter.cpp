// StreamWriter.cpp -- the add and trim scripts, the pipeline of one round trip, and following the stream from node to node.
#include "StreamWriter.h"

#include <string.h>

#include "Logging.h"
#include "PrimaryLocator.h"

namespace {

// KEYS: the stream, then each entry's id key. ARGV: seconds an id is remembered, maxLength (0:
// none), then for each entry its id, body, received, listener and bytes. Returns for each entry
// {entry id, 1 when added now, 0 when it was there}. One call for many entries: the script's own
// cost is paid once per batch, not per event.
const char kAddScript[] = R"lua(
local ttl, maxlen, out = ARGV[1], ARGV[2], {}
for i = 2, #KEYS do
  local a = 3 + (i - 2) * 5
  local known = redis.call('GET', KEYS[i])
  if known then
    out[#out + 1] = {known, 0}
  else
    local added
    if maxlen == '0' then
      added = redis.call('XADD', KEYS[1], '*', 'body', ARGV[a + 1], 'received', ARGV[a + 2], 'listener', ARGV[a + 3],
                         'bytes', ARGV[a + 4], 'id', ARGV[a])
    else
      added = redis.call('XADD', KEYS[1], 'MAXLEN', '~', maxlen, '*', 'body', ARGV[a + 1], 'received', ARGV[a + 2],
                         'listener', ARGV[a + 3], 'bytes', ARGV[a + 4], 'id', ARGV[a])
    end
    redis.call('SET', KEYS[i], added, 'EX', ttl)
    out[#out + 1] = {added, 1}
  end
end
return out
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
const size_t kEntriesPerCall = 256;
const size_t kBytesPerCall = 4u << 20;

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
    try {
        AddLocked(entries, settings);
    } catch (...) {
        // Out of memory half way: the connection goes with whatever it still holds, and what was
        // not answered is sent again later under the same ids.
        Disconnect();
        for (StreamEntry* entry : entries)
            if (!entry->added) entry->error = RedisError{Failure::kBroken, "out of memory"};
    }
    if (settings.tls) TlsSession::ReleaseThreadState();
}

void StreamWriter::AddLocked(const std::vector<StreamEntry*>& entries, const RedisSettings& settings) {
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
            if (GetTickCount64() - mAskSaidAt >= 10000 || mAskSaidAt == 0) {
                mAskSaidAt = GetTickCount64();
                KVLOG(3, "StreamWriter::Add: the stream's slot is moving: %lu entries go to %s with ASKING",
                      static_cast<unsigned long>(redirects.asked.size()), redirects.ask.c_str());
            }
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
            if (GetTickCount64() - mReadOnlySaidAt >= 10000 || mReadOnlySaidAt == 0) {
                mReadOnlySaidAt = GetTickCount64();
                KVLOG(2, "StreamWriter::Add: %s answers READONLY: a failover made it a replica; looking for the primary again",
                      mConnection ? mConnection->Address().c_str() : "Redis");
            }
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
    const bool connected = EnsureConnected(settings, GetTickCount64() + settings.timeoutMs, error);
    if (settings.tls) TlsSession::ReleaseThreadState();
    return connected;
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
    mStatus.tried = true;
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
    // One script call per chunk, cut by count and by bytes, so that a burst of large bodies does
    // not become one command of hundreds of megabytes in Redis's query buffer.
    std::vector<std::pair<size_t, size_t>> chunks;  // [first, end)
    for (size_t first = 0; first < entries.size();) {
        size_t end = first, bytes = 0;
        while (end < entries.size() && end - first < kEntriesPerCall && (end == first || bytes + entries[end]->body.size() <= kBytesPerCall))
            bytes += entries[end++]->body.size();
        chunks.emplace_back(first, end);
        first = end;
    }
    for (const auto& chunk : chunks) {
        const size_t count = chunk.second - chunk.first;
        std::vector<std::string> texts;  // keys and lengths, kept alive until formatted
        texts.reserve(2 * count + 3);
        texts.push_back(std::to_string(count + 1));
        for (size_t i = chunk.first; i < chunk.second; ++i) texts.push_back(IdKey(settings.stream, entries[i]->id));
        for (size_t i = chunk.first; i < chunk.second; ++i) texts.push_back(std::to_string(entries[i]->body.size()));
        std::vector<const char*> argv;
        std::vector<size_t> lengths;
        auto add = [&](const char* data, size_t size) {
            argv.push_back(data);
            lengths.push_back(size);
        };
        auto addText = [&](const std::string& text) { add(text.data(), text.size()); };
        add("EVALSHA", 7);
        addText(mAddSha);
        addText(texts[0]);
        addText(settings.stream);
        for (size_t i = 0; i < count; ++i) addText(texts[1 + i]);
        addText(dedup);
        addText(maxLength);
        for (size_t i = 0; i < count; ++i) {
            const StreamEntry& entry = *entries[chunk.first + i];
            addText(entry.id);
            addText(entry.body);
            addText(entry.received);
            addText(entry.listener);
            addText(texts[1 + count + i]);
        }
        if (asking) connection.Append({"ASKING"});
        connection.Append(static_cast<int>(argv.size()), argv.data(), lengths.data());
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
    for (const auto& chunk : chunks) {
        // After ASKING comes its +OK; whatever it says, the script's own reply tells what happened.
        RedisReply reply = asking ? connection.Read(deadline, error) : RedisReply();
        if (!asking || reply) reply = connection.Read(deadline, error);
        if (!reply) {
            for (size_t i = chunk.first; i < entries.size(); ++i) entries[i]->error = *error;
            return false;
        }
        const size_t count = chunk.second - chunk.first;
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == count) {
            for (size_t i = 0; i < count; ++i) {
                StreamEntry* entry = entries[chunk.first + i];
                const redisReply* item = reply->element[i];
                entry->added = item->type == REDIS_REPLY_ARRAY && item->elements == 2;
                entry->duplicate = entry->added && item->element[1]->type == REDIS_REPLY_INTEGER && item->element[1]->integer == 0;
                if (entry->added) addedNow.push_back(entry);
                else entry->error = RedisError{Failure::kRefused, "an unexpected answer: " + ReplyText(item)};
            }
            continue;
        }
        // An error is the whole call's: the entries it added before it (a script stops at its
        // first failing command) are found by their ids when they are sent again.
        Failure kind = Failure::kRefused;
        if (IsError(reply.get(), "MOVED")) {
            redirects->moved = RedirectTarget(reply.get());
        } else if (IsError(reply.get(), "ASK") && !asking) {
            redirects->ask = RedirectTarget(reply.get());
        } else if (Contains(reply.get(), "READONLY")) {
            redirects->readOnly = true;
            kind = Failure::kReadOnly;
        } else if (IsError(reply.get(), "NOSCRIPT")) {
            redirects->reload = true;
        }
        const bool again = IsError(reply.get(), "MOVED") || IsError(reply.get(), "NOSCRIPT") || Contains(reply.get(), "READONLY");
        for (size_t i = chunk.first; i < chunk.second; ++i) {
            entries[i]->error = RedisError{kind, ReplyText(reply.get())};
            if (again) retry->push_back(entries[i]);
            else if (IsError(reply.get(), "ASK") && !asking) redirects->asked.push_back(entries[i]);
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
