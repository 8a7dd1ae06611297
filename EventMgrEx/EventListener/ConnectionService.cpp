// ConnectionService.cpp -- who owns a connection, and when it ends: the handler threads, the count of connections, the waiting room, the stop.
#include "ConnectionService.h"

#include <string.h>

#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "CannedResponse.h"
#include "ConnectionHandler.h"
#include "ListenerCounters.h"
#include "LogThrottle.h"
#include "Logging.h"
#include "NeverDestroyed.h"
#include "PeerTable.h"
#include "SocketTransport.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// An accepted connection on its way through the service.
struct ConnectionService::Connection {
    UniqueSocket socket;
    PeerAddress peer;
    ULONGLONG acceptedAt;
    std::shared_ptr<ListenerRun> run;
    bool counted = false;  // in mPerPeer
};

namespace {

// A thousand connections must not take a quarter of a 32-bit process's address space.
const SIZE_T kHandlerStackBytes = 256 * 1024;
// How long a handler thread waits for its next connection before it ends.
const DWORD kIdleHandlerMs = 30000;
// How long a connection waits in the waiting room for a handler before it is refused.
const DWORD kWaitingRoomMs = 2000;

LogThrottle gPeerLimitLines;
LogThrottle gWaitingRoomLines;
LogThrottle gExpiredLines;
LogThrottle gThreadFailures;

NeverDestroyed<ConnectionService> gService;

}  // namespace

// A thread of the pool: the connections it serves one after another share its apartment and the
// class object it keeps.
class ConnectionService::HandlerThread final : public PooledWorker {
public:
    void Serve(void* item) override {
        ConnectionService& service = ConnectionService::Instance();
        for (Connection* connection = static_cast<Connection*>(item); connection;
             connection = service.Finished(connection)) {
            SocketTransport transport(std::move(connection->socket), connection->peer, connection->run->stop);
            mHandler.Serve(transport, *connection->run, connection->acceptedAt);
            // Its address counts one connection less before the peer can see the close: a printer
            // that connects again at once is not taken for one connection too many.
            service.Leaving(*connection);
            transport.Close();
        }
    }

private:
    ConnectionHandler mHandler;
};

ConnectionService& ConnectionService::Instance() { return gService.get(); }

std::unique_ptr<PooledWorker> ConnectionService::MakeHandlerThread() {
    return std::unique_ptr<PooledWorker>(new (std::nothrow) HandlerThread());
}

ConnectionService::ConnectionService() : mPool(&MakeHandlerThread, kIdleHandlerMs, kHandlerStackBytes) {
    // Only to measure what counting costs (bench/vs_nginx.sh --servers "null uncounted"): without
    // the counters /metrics, /status and /health see nothing.
    char value[8] = {};
    DWORD length = GetEnvironmentVariableA("KVLUMEN_COUNTERS", value, sizeof(value));
    mCounting = !(length == 3 && memcmp(value, "off", 3) == 0);
}

std::shared_ptr<ListenerRun> ConnectionService::Open(const ListenerSettings& settings) {
    std::shared_ptr<ListenerRun> run(new (std::nothrow) ListenerRun{settings, StopSignal::Make()});
    if (!run) return run;
    std::shared_ptr<ListenerRun> earlier;
    {
        std::lock_guard<std::mutex> hold(mLock);
        earlier = mRun;
        mRun = run;
        mBufferLimit = settings.MaxBufferedBytes();
    }
    if (earlier) RaiseStop(earlier);
    mPool.Open();
    return run;
}

void ConnectionService::RaiseStop(const std::shared_ptr<ListenerRun>& run) {
    if (!run) return;
    if (run->stop) run->stop->Raise();
    std::vector<Connection*> waiting;
    {
        std::lock_guard<std::mutex> hold(mLock);
        // The waiting room belongs to the current run; an earlier one's connections left it with it.
        for (auto at = mWaitingRoom.begin(); at != mWaitingRoom.end();) {
            if ((*at)->run != run) {
                ++at;
                continue;
            }
            waiting.push_back(*at);
            ForgetPeerLocked((*at)->peer);
            (*at)->counted = false;
            at = mWaitingRoom.erase(at);
        }
        mChanged.notify_all();
    }
    for (Connection* connection : waiting) {
        RequestOutcome outcome;
        outcome.peer = connection->peer;
        outcome.acceptedAt = connection->acceptedAt;
        outcome.result = mExiting ? RequestResult::EndedAtExit : RequestResult::EndedByStop;
        outcome.endedAt = GetTickCount64();
        delete connection;
        Report(outcome);
    }
}

void ConnectionService::Close(const std::shared_ptr<ListenerRun>& run) {
    if (!run) return;
    bool current = false;
    {
        std::lock_guard<std::mutex> hold(mLock);
        if (mRun == run) {
            mRun.reset();
            current = true;
        }
    }
    RaiseStop(run);
    {
        std::unique_lock<std::mutex> hold(mLock);
        mChanged.wait_for(hold, std::chrono::milliseconds(run->settings.stopDrainMs), [this] { return !mDeliveries; });
        ULONGLONG now = GetTickCount64();
        for (DeliveryUnderWay* delivery = mDeliveries; delivery; delivery = delivery->mNext) {
            KVLOG(1, "ConnectionService::Close: the stop goes on without a delivery of %s bytes from %s, under way for %lu ms",
                  std::to_string(delivery->mBytes).c_str(), delivery->mPeer.Text().c_str(),
                  (unsigned long)(now - delivery->mStartedAt));
        }
    }
    if (current) mPool.Close();
}

LONG ConnectionService::Waiting() {
    std::lock_guard<std::mutex> hold(mLock);
    return static_cast<LONG>(mWaitingRoom.size());
}

void ConnectionService::ForgetPeerLocked(const PeerAddress& peer) {
    auto counted = mPerPeer.find(peer);
    if (counted != mPerPeer.end() && --counted->second <= 0) mPerPeer.erase(counted);
}

void ConnectionService::Accept(UniqueSocket socket, const PeerAddress& peer, ULONGLONG acceptedAt) {
    if (mCounting) ListenerCounters::Instance().Accepted();
    std::unique_ptr<Connection> connection(new (std::nothrow) Connection{UniqueSocket(), peer, acceptedAt, nullptr, false});
    bool serveNow = false;
    bool waits = false;
    RequestResult refusedAs = RequestResult::Refused;
    LONG fromPeerBefore = 0;
    if (connection) {
        std::lock_guard<std::mutex> hold(mLock);
        if (!mRun) {
            refusedAs = mExiting ? RequestResult::EndedAtExit : RequestResult::EndedByStop;
        } else {
            const ListenerSettings& settings = mRun->settings;
            auto counted = mPerPeer.find(peer);
            fromPeerBefore = counted == mPerPeer.end() ? 0 : counted->second;
            if (fromPeerBefore >= static_cast<LONG>(settings.maxConnectionsPerPeer)) {
                // Closed at once: one address must not take every handler.
                refusedAs = RequestResult::PeerLimit;
            } else {
                try {
                    if (mServed.load() < static_cast<LONG>(settings.maxConnections) && mWaitingRoom.empty()) {
                        serveNow = true;
                    } else if (mWaitingRoom.size() < settings.maxConnections) {
                        mWaitingRoom.push_back(connection.get());
                        waits = true;
                    }
                    if (serveNow || waits) {
                        ++mPerPeer[peer];
                        connection->counted = true;
                        connection->run = mRun;
                        connection->socket = std::move(socket);
                    }
                } catch (const std::bad_alloc&) {
                    if (waits) mWaitingRoom.pop_back();
                    serveNow = waits = false;
                }
                if (serveNow) ++mServed;
            }
        }
    }
    if (serveNow) return Dispatch(connection.release());
    if (waits) {
        connection.release();  // the waiting room has it
        unsigned long times = 0;
        if (gWaitingRoomLines.Due(&times))
            KVLOG(2, "ConnectionService::Accept: %ld connections are being served, the most maxConnections allows; new "
                     "connections wait up to %lu ms for one to end (%lu time(s) since the last report)",
                  (long)mServed.load(), (unsigned long)kWaitingRoomMs, times);
        return;
    }
    if (refusedAs == RequestResult::PeerLimit) {
        unsigned long times = 0;
        if (gPeerLimitLines.Due(&times))
            KVLOG(2, "ConnectionService::Accept: %s has %ld connections open, the most maxConnectionsPerPeer allows; "
                     "further ones are closed at once (%lu time(s) since the last report)",
                  peer.AddressText().c_str(), (long)fromPeerBefore, times);
        return Refuse(std::move(socket), peer, acceptedAt, 0, refusedAs);
    }
    // Out of room (or memory): refused for now, the printer may come back.
    if (refusedAs == RequestResult::Refused) return Refuse(std::move(socket), peer, acceptedAt, 503, refusedAs);
    Refuse(std::move(socket), peer, acceptedAt, 0, refusedAs);
}

void ConnectionService::Dispatch(Connection* connection) {
    if (mPool.Run(connection)) return;
    // No thread could be made (memory or the system's thread limit): the connection goes.
    unsigned long times = 0;
    if (gThreadFailures.Due(&times))
        KVLOG(1, "EventListenerThread::setListenPort: Failed to create a handler thread, connection closed "
                 "(%lu time(s) since the last report)",
              times);
    UniqueSocket refused = std::move(connection->socket);
    PeerAddress peer = connection->peer;
    ULONGLONG acceptedAt = connection->acceptedAt;
    // Its place may go to a connection that waits, served here on the accept loop's thread.
    for (Connection* next = Finished(connection); next; next = Finished(next)) {
        Refuse(std::move(next->socket), next->peer, next->acceptedAt, 503, RequestResult::Refused);
    }
    Refuse(std::move(refused), peer, acceptedAt, 503, RequestResult::Refused);
}

void ConnectionService::Leaving(Connection& connection) {
    std::lock_guard<std::mutex> hold(mLock);
    if (connection.counted) ForgetPeerLocked(connection.peer);
    connection.counted = false;
}

ConnectionService::Connection* ConnectionService::Finished(Connection* done) {
    Connection* next = nullptr;
    bool idle = false;
    {
        std::lock_guard<std::mutex> hold(mLock);
        if (done->counted) ForgetPeerLocked(done->peer);
        if (!mWaitingRoom.empty()) {
            // The place stays taken: it passes to the connection that has waited longest.
            next = mWaitingRoom.front();
            mWaitingRoom.pop_front();
        } else {
            idle = --mServed == 0;
        }
        mChanged.notify_all();
    }
    delete done;
    if (idle && mLargeFreed.load()) TrimMemory();
    return next;
}

void ConnectionService::LargeBlockFreed() {
    mLargeFreed = true;
    if (GetTickCount64() - mLastTrim.load() >= 1000) TrimMemory();
}

void ConnectionService::TrimMemory() {
#if defined(__GLIBC__)
    // glibc keeps freed blocks of a request's size for reuse (its mmap threshold follows the
    // largest block freed), in every arena the handler threads used: after a burst of large
    // requests the process would otherwise stay at its peak for good.
    if (!mLargeFreed.exchange(false)) return;
    mLastTrim = GetTickCount64();
    malloc_trim(0);
#endif
}

DWORD ConnectionService::ExpireWaiting() {
    std::vector<Connection*> expired;
    DWORD nextDue = INFINITE;
    {
        std::lock_guard<std::mutex> hold(mLock);
        ULONGLONG now = GetTickCount64();
        // The room is in order of arrival, so the first one not due ends the search.
        while (!mWaitingRoom.empty()) {
            Connection* first = mWaitingRoom.front();
            ULONGLONG due = first->acceptedAt + kWaitingRoomMs;
            if (due > now) {
                nextDue = static_cast<DWORD>(due - now);
                break;
            }
            mWaitingRoom.pop_front();
            ForgetPeerLocked(first->peer);
            first->counted = false;
            expired.push_back(first);
        }
    }
    if (!expired.empty()) {
        unsigned long times = 0;
        if (gExpiredLines.Due(&times))
            KVLOG(2, "ConnectionService::ExpireWaiting: %lu connection(s) waited %lu ms for one of the maxConnections "
                     "handlers and were refused with 503 (%lu time(s) since the last report)",
                  (unsigned long)expired.size(), (unsigned long)kWaitingRoomMs, times);
    }
    for (Connection* connection : expired) {
        Refuse(std::move(connection->socket), connection->peer, connection->acceptedAt, 503, RequestResult::Refused);
        delete connection;
    }
    return nextDue;
}

void ConnectionService::Refuse(UniqueSocket connection, const PeerAddress& peer, ULONGLONG acceptedAt, unsigned status,
                               RequestResult result) {
    RequestOutcome outcome;
    outcome.peer = peer;
    outcome.acceptedAt = acceptedAt;
    outcome.result = result;
    if (status && connection) {
        std::string answer = RefusalResponse(status, "the listener is busy; try again shortly");
        // A fresh connection's send buffer is empty: this never blocks the accept loop.
        if (send(connection.get(), answer.data(), static_cast<int>(answer.size()), 0) > 0) outcome.status = status;
    }
    // Counted before the close, as every connection is: a peer that looks after its answer finds it.
    outcome.endedAt = GetTickCount64();
    Report(outcome);
    if (connection) shutdown(connection.get(), SD_SEND);
    connection.reset();
}

void ConnectionService::Report(const RequestOutcome& outcome) {
    if (mCounting) {
        ListenerCounters::Instance().Record(outcome);
        try {
            PeerTable::Instance().Record(outcome);
        } catch (const std::bad_alloc&) {
            // The table misses a row; the counters and the line do not.
        }
    }
    outcome.Log();
}

bool ConnectionService::ReserveBuffered(uint64_t bytes, DWORD waitMs, uint64_t alreadyHeld) {
    auto take = [&] {
        uint64_t held = mBuffered.load();
        while (held + bytes <= mBufferLimit.load() || held <= alreadyHeld) {
            // A request larger than the whole budget still passes when nothing else is held.
            if (mBuffered.compare_exchange_weak(held, held + bytes)) return true;
        }
        return false;
    };
    if (take()) return true;
    if (waitMs == 0) return false;
    std::unique_lock<std::mutex> hold(mLock);
    return mChanged.wait_for(hold, std::chrono::milliseconds(waitMs), take);
}

void ConnectionService::ReleaseBuffered(uint64_t bytes) {
    mBuffered.fetch_sub(bytes);
    std::lock_guard<std::mutex> hold(mLock);
    mChanged.notify_all();
}

ConnectionService::DeliveryUnderWay::DeliveryUnderWay(uint64_t bytes, const PeerAddress& peer)
    : mBytes(bytes), mPeer(peer), mStartedAt(GetTickCount64()) {
    ConnectionService& service = ConnectionService::Instance();
    std::lock_guard<std::mutex> hold(service.mLock);
    mNext = service.mDeliveries;
    if (mNext) mNext->mPrevious = this;
    service.mDeliveries = this;
}

ConnectionService::DeliveryUnderWay::~DeliveryUnderWay() {
    ConnectionService& service = ConnectionService::Instance();
    std::lock_guard<std::mutex> hold(service.mLock);
    if (mPrevious) mPrevious->mNext = mNext;
    else service.mDeliveries = mNext;
    if (mNext) mNext->mPrevious = mPrevious;
    service.mChanged.notify_all();
}

bool ConnectionService::EndAtExit(DWORD timeoutMs) {
    mExiting = true;
    std::shared_ptr<ListenerRun> run;
    {
        std::lock_guard<std::mutex> hold(mLock);
        run = mRun;
    }
    RaiseStop(run);
    std::unique_lock<std::mutex> hold(mLock);
    return mChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return mServed.load() == 0; });
}

bool ConnectionService::EndThreads(DWORD timeoutMs) { return mPool.EndAll(timeoutMs); }
