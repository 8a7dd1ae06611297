// ConnectionService.h -- who owns a connection, and when it ends: the handler threads, the count of connections, the waiting room, the stop.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "HandlerPool.h"
#include "ListenerSettings.h"
#include "PeerAddress.h"
#include "RequestOutcome.h"
#include "StopSignal.h"
#include "UniqueHandle.h"

// What one start of the listener gives every connection it accepts: the settings read at the
// start and the stop signal of that run.
struct ListenerRun {
    ListenerSettings settings;
    std::shared_ptr<StopSignal> stop;
};

// One per module. From its accept to its close a connection belongs to the service: the accept
// loop hands it over (Accept) and never sees it again. It is served on a handler thread of its own
// while fewer than maxConnections are served (and fewer than maxConnectionsPerPeer from its
// address); otherwise it waits, without a thread, in a waiting room for a handler that has
// finished, and is refused with 503 when none finishes in time. Every connection ends in one
// RequestOutcome, which Report writes to the log.
//
// Handler threads are kept for reuse while the listener runs (HandlerPool); each holds a module
// lock for its whole life, so a connection never needs one of its own. A stop raises the run's
// stop signal: connections still receiving end at once without reply, and the stop waits up to
// stopDrainMs for deliveries under way.
class ConnectionService {
public:
    static ConnectionService& Instance();

    // The listener begins to accept with `settings`: a new run with a fresh stop signal; handler
    // threads wait for further connections from now on. An earlier run still open is stopped.
    void Open(const ListenerSettings& settings);
    // Raises the run's stop: the waiting room is emptied (closed without reply), connections still
    // receiving end at once, and the accept loop's wait returns. Idempotent.
    void RaiseStop();
    // After the accept loop has ended: waits up to stopDrainMs for the deliveries under way, writes
    // a level-1 line for each one the stop goes on without, and ends the idle handler threads.
    void Close();

    // An accepted connection from `peer`. The service owns it from here, on every path.
    void Accept(UniqueSocket connection, const PeerAddress& peer, ULONGLONG acceptedAt);
    // Refuses what has waited too long in the waiting room (the accept loop calls it after each
    // wait). Returns the milliseconds until the next one is due; INFINITE when none waits.
    DWORD ExpireWaiting();
    // The current run's stop socket, for the accept loop's select(); INVALID_SOCKET when none.
    SOCKET StopSocket();

    // Writes the outcome's line.
    void Report(const RequestOutcome& outcome);

    LONG Connections() const { return mServed.load(); }
    LONG Waiting();
    LONG Threads() { return mPool.Threads(); }
    LONG IdleThreads() { return mPool.IdleThreads(); }

    // The memory budget of request bytes held at once (maxBufferedMB of the current run). True when
    // `bytes` were taken, waiting up to `waitMs` for others to give theirs back. A caller that holds
    // `alreadyHeld` bytes of it already may always take more when nobody else holds any: a request
    // larger than the whole budget passes alone.
    bool ReserveBuffered(uint64_t bytes, DWORD waitMs, uint64_t alreadyHeld = 0);
    void ReleaseBuffered(uint64_t bytes);
    uint64_t Buffered() const { return mBuffered.load(); }
    // A request's large block of memory was freed: the allocator is asked to give such memory back
    // to the system (at most once a second, and once the last connection has ended).
    void LargeBlockFreed();

    // A delivery under way, from before Deliver to after the event manager is released: a stop
    // waits for it (stopDrainMs at most) and names those it goes on without.
    class DeliveryUnderWay {
    public:
        DeliveryUnderWay(uint64_t bytes, const PeerAddress& peer);
        ~DeliveryUnderWay();
        DeliveryUnderWay(const DeliveryUnderWay&) = delete;
        DeliveryUnderWay& operator=(const DeliveryUnderWay&) = delete;

    private:
        friend class ConnectionService;
        uint64_t mBytes;
        PeerAddress mPeer;
        ULONGLONG mStartedAt;
        DeliveryUnderWay* mPrevious = nullptr;
        DeliveryUnderWay* mNext = nullptr;
    };

    // The process exits while connections may still be served (POSIX: Windows ends every other
    // thread before a module hears of the exit): the stop is raised and the service waits up to
    // `timeoutMs` until no connection is served. True when none is left.
    bool EndAtExit(DWORD timeoutMs);
    // Then, once the listener is gone: every handler thread ends (their apartments and class
    // objects go with them). True when none is left within `timeoutMs`.
    bool EndThreads(DWORD timeoutMs);
    bool Exiting() const { return mExiting.load(); }

    ConnectionService();
    ConnectionService(const ConnectionService&) = delete;
    ConnectionService& operator=(const ConnectionService&) = delete;

private:
    struct Connection;
    class HandlerThread;
    static std::unique_ptr<PooledWorker> MakeHandlerThread();

    // Hands the connection to a handler thread; on failure it is closed and reported.
    void Dispatch(Connection* connection);
    // A handler thread has finished `done`: the next connection for the same thread, or null.
    Connection* Finished(Connection* done);
    void ForgetPeerLocked(const PeerAddress& peer);
    // Closes a connection the service will not serve, answering `status` (0: nothing) first.
    void Refuse(UniqueSocket connection, const PeerAddress& peer, ULONGLONG acceptedAt, unsigned status,
                RequestResult result);

    HandlerPool mPool;
    std::mutex mLock;
    std::shared_ptr<ListenerRun> mRun;  // the run that accepts; null while none does
    std::atomic<LONG> mServed{0};       // connections on handler threads
    std::deque<Connection*> mWaitingRoom;
    std::unordered_map<PeerAddress, LONG, PeerAddressHash, PeerAddressEqual> mPerPeer;  // served and waiting
    DeliveryUnderWay* mDeliveries = nullptr;
    std::condition_variable mChanged;   // a delivery or connection ended, or buffered bytes came back
    std::atomic<uint64_t> mBuffered{0};
    std::atomic<uint64_t> mBufferLimit{uint64_t(256) << 20};
    std::atomic<bool> mExiting{false};
    std::atomic<bool> mLargeFreed{false};
    std::atomic<ULONGLONG> mLastTrim{0};
    void TrimMemory();
};
