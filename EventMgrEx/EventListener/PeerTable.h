// PeerTable.h -- one row per printer address: its events, its last event and how it ended, its failures; the least recently seen leave first.
#pragma once

#include <stdint.h>
#include <time.h>

#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "PeerAddress.h"
#include "RequestOutcome.h"

// Kept in shards, each with its own lock and its own share of the room, so that printers
// reporting at once rarely wait for each other: a row is a hash lookup and a splice.
class PeerTable {
public:
    static const size_t kMaxPeers = 10000;

    static PeerTable& Instance();

    struct Row {
        PeerAddress address;
        uint64_t events = 0;    // requests that reached the event manager
        uint64_t failures = 0;  // of those, the ones not stored, and refused or failed requests
        time_t lastSeen = 0;
        RequestResult lastResult = RequestResult::Exception;
        unsigned lastStatus = 0;
    };

    // Counts a request; monitors' probes, wake-ups and peers that sent nothing are not printers.
    void Record(const RequestOutcome& outcome);
    // Every row, in no particular order.
    std::vector<Row> Rows() const;
    size_t Size() const;

private:
    static const size_t kShards = 16;
    struct Shard {
        mutable std::mutex lock;
        std::list<Row> recent;  // the most recently seen first
        std::unordered_map<PeerAddress, std::list<Row>::iterator, PeerAddressHash, PeerAddressEqual> index;
    };
    Shard mShards[kShards];
};
