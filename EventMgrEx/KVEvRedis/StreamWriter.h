// StreamWriter.h -- adds entries to the stream idempotently, wherever the stream lives now (primary, Sentinel's choice, cluster node).
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "RedisConnection.h"
#include "RedisSettings.h"
#include "StreamEntry.h"

// Entries are added by a server-side script (one call per batch) that adds each only when its id was not seen within
// dedupSeconds (a key per id, next to the stream's key in the same cluster slot), so that any
// retry -- a resent pipeline, a replay, a late retransmission of a broken connection's bytes, a
// restart -- finds it there instead of adding it twice. Entries go out as one pipeline; with
// minReplicas, a WAIT follows, and entries not acknowledged by that many replicas count as not
// added. READONLY (a primary demoted by a failover) sends the writer back to the sentinels;
// MOVED and ASK are followed. At most once a second it trims what every consumer group has read.
//
// One caller at a time (the pipeline's leader); Close and Snapshot may come from any thread.
class StreamWriter {
public:
    // Each entry ends added, or with its error. Every wait is bounded by timeoutMs.
    void Add(const std::vector<StreamEntry*>& entries, const RedisSettings& settings);
    // Connects when not connected; false, with the reason, when Redis cannot be reached.
    bool Probe(const RedisSettings& settings, RedisError* error);
    void Close();

    struct Status {
        bool tried = false;     // a connection was attempted at least once
        bool connected = false;
        std::string node;       // the server written to
        bool tls = false;
        std::string lastError;  // why the last attempt failed, if it did
        unsigned long long trimmed = 0;
    };
    Status Snapshot();

private:
    void AddLocked(const std::vector<StreamEntry*>& entries, const RedisSettings& settings);
    bool EnsureConnected(const RedisSettings& settings, ULONGLONG deadline, RedisError* error);
    std::unique_ptr<RedisConnection> Connect(const std::string& address, const RedisSettings& settings, ULONGLONG deadline,
                                             RedisError* error);
    // Sends the entries on `connection` and reads their replies. Entries to try again (MOVED,
    // ASK, READONLY, NOSCRIPT) go to `retry`; false when the connection failed.
    struct Redirects {
        std::string moved;
        std::string ask;
        bool readOnly = false;
        bool reload = false;
        std::vector<StreamEntry*> asked;
    };
    bool Exchange(RedisConnection& connection, const std::vector<StreamEntry*>& entries, const RedisSettings& settings,
                  bool asking, std::vector<StreamEntry*>* retry, Redirects* redirects, RedisError* error);
    void TrimIfDue(const RedisSettings& settings);
    void Disconnect();
    void NoteConnected(RedisConnection* connection, const std::string& error);

    std::mutex mWork;  // Add, Probe and Close
    std::unique_ptr<RedisConnection> mConnection;
    RedisSettings mConnectedWith;
    std::string mMovedTo;  // the cluster node that MOVED named for the stream's key
    std::string mAddSha;
    std::string mTrimSha;
    ULONGLONG mTrimmedAt = 0;
    ULONGLONG mTrimWarnedAt = 0;
    ULONGLONG mReadOnlySaidAt = 0;
    ULONGLONG mAskSaidAt = 0;
    bool mDown = false;

    std::mutex mStatusLock;
    Status mStatus;
};
