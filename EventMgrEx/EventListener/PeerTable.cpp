// PeerTable.cpp -- one row per printer address, in shards; the least recently seen leave first.
#include "PeerTable.h"

#include "NeverDestroyed.h"

namespace {
NeverDestroyed<PeerTable> gTable;
}  // namespace

PeerTable& PeerTable::Instance() { return gTable.get(); }

void PeerTable::Record(const RequestOutcome& outcome) {
    switch (outcome.result) {
    case RequestResult::Answered:
    case RequestResult::WakeUp:
    case RequestResult::ClosedEarly:
        return;
    default:
        break;
    }
    if (!outcome.peer.Known()) return;
    bool failed = outcome.result != RequestResult::Delivered;
    Shard& shard = mShards[outcome.peer.AddressHash() % kShards];
    std::lock_guard<std::mutex> hold(shard.lock);
    auto found = shard.index.find(outcome.peer);
    if (found == shard.index.end()) {
        if (shard.recent.size() >= kMaxPeers / kShards) {
            shard.index.erase(shard.recent.back().address);
            shard.recent.pop_back();
        }
        shard.recent.emplace_front();
        shard.recent.front().address = outcome.peer;
        found = shard.index.emplace(outcome.peer, shard.recent.begin()).first;
    } else {
        shard.recent.splice(shard.recent.begin(), shard.recent, found->second);
    }
    Row& row = *found->second;
    if (outcome.ReachedDelivery()) ++row.events;
    if (failed) ++row.failures;
    row.lastSeen = time(nullptr);
    row.lastResult = outcome.result;
    row.lastStatus = outcome.status;
}

std::vector<PeerTable::Row> PeerTable::Rows() const {
    std::vector<Row> rows;
    for (const Shard& shard : mShards) {
        std::lock_guard<std::mutex> hold(shard.lock);
        rows.insert(rows.end(), shard.recent.begin(), shard.recent.end());
    }
    return rows;
}

size_t PeerTable::Size() const {
    size_t size = 0;
    for (const Shard& shard : mShards) {
        std::lock_guard<std::mutex> hold(shard.lock);
        size += shard.recent.size();
    }
    return size;
}
