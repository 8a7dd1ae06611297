// HandlerPool.h -- handler threads kept for reuse: work goes to an idle thread, a new thread is made only when none is idle.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// What a pooled thread runs. Made when its thread is made, given each item the thread takes, and
// destroyed on that thread before it ends: state that belongs to one thread (a COM apartment,
// objects created in it) lives here from one item to the next.
class PooledWorker {
public:
    virtual ~PooledWorker() = default;
    // Serves one item to its end; the worker owns the item from here.
    virtual void Serve(void* item) = 0;
};

// Every thread serves one item at a time, concurrently with the others, so an item never waits
// behind another: when no thread is idle a new one is made at once. A thread that finished its
// item waits for the next one; after `idleMs` without one it ends. Each thread holds a module
// lock (and on Windows a reference to the module) for its whole life, idle or busy: it runs this
// module's code either way.
class HandlerPool {
public:
    using WorkerFactory = std::unique_ptr<PooledWorker> (*)();

    HandlerPool(WorkerFactory makeWorker, DWORD idleMs, SIZE_T stackBytes);
    // Ends the idle threads and waits for the busy ones (a pool that is not module-wide only).
    ~HandlerPool();
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;

    // While the pool is open (Open more often than Close), threads wait for further items;
    // otherwise each ends after its item. Close also ends the idle threads at once.
    void Open();
    void Close();

    // Hands `item` to an idle thread, or to a new one. False (the item still the caller's) when
    // no thread could be made.
    bool Run(void* item);

    // For good: no thread waits for items any more, the idle ones end now. Waits up to
    // `timeoutMs` for every thread to have ended; true when none is left.
    bool EndAll(DWORD timeoutMs);

    LONG Threads();
    LONG IdleThreads();

private:
    struct Thread;
    static DWORD WINAPI ThreadMain(LPVOID param);
    // The thread's next item after an idle wait, or null when it is to end.
    void* NextItem(Thread& self);
    void EndIdleLocked();
    void Ended();

    const WorkerFactory mMakeWorker;
    const DWORD mIdleMs;
    const SIZE_T mStackBytes;
    std::mutex mLock;
    std::condition_variable mAllEnded;
    std::vector<Thread*> mIdle;  // the most recently idle last: it is the next to work
    LONG mThreads = 0;
    LONG mOpen = 0;
    bool mEnding = false;
};
