// HandlerPool.cpp -- handler threads kept for reuse: work goes to an idle thread, a new thread is made only when none is idle.
#include "HandlerPool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

#include "ModuleLock.h"

// A thread waits for its next item on a lock and condition of its own: the pool's lock is held
// only to list and unlist idle threads, never while one wakes. The thread and a Run handing it an
// item each hold a reference, so that the wake-up, sent once the item is in place and the lock
// free (the thread would otherwise wake only to wait for the lock), never finds it gone.
struct HandlerPool::Thread {
    Thread(HandlerPool* owner, void* first) : pool(owner), item(first) {}
    static void Release(Thread* thread) {
        if (thread->references.fetch_sub(1) == 1) delete thread;
    }
    std::atomic<int> references{1};
    HandlerPool* pool;
    std::unique_ptr<PooledWorker> worker;
    HMODULE module = nullptr;  // Windows: the thread's own reference to this module
    std::mutex parking;
    std::condition_variable wake;
    void* item;        // under `parking`: the next item
    bool end = false;  // under `parking`: told to end while idle
};

HandlerPool::HandlerPool(WorkerFactory makeWorker, DWORD idleMs, SIZE_T stackBytes)
    : mMakeWorker(makeWorker), mIdleMs(idleMs), mStackBytes(stackBytes) {}

HandlerPool::~HandlerPool() { EndAll(INFINITE); }

void HandlerPool::Open() {
    std::lock_guard<std::mutex> hold(mLock);
    ++mOpen;
}

void HandlerPool::Close() {
    std::lock_guard<std::mutex> hold(mLock);
    if (mOpen > 0) --mOpen;
    if (mOpen == 0) EndIdleLocked();
}

bool HandlerPool::Run(void* item) {
    Thread* idle = nullptr;
    {
        std::lock_guard<std::mutex> hold(mLock);
        if (!mIdle.empty()) {
            idle = mIdle.back();
            mIdle.pop_back();
            idle->references.fetch_add(1);
        } else {
            ++mThreads;
        }
    }
    if (idle) {
        // Off the list, the thread cannot end before it has this item (see NextItem).
        {
            std::lock_guard<std::mutex> hold(idle->parking);
            idle->item = item;
        }
        idle->wake.notify_one();
        Thread::Release(idle);
        return true;
    }
    std::unique_ptr<Thread> thread(new (std::nothrow) Thread(this, item));
    if (thread) thread->worker = mMakeWorker();
    if (thread && thread->worker) {
        ModuleLockIncrement();
#ifdef _WIN32
        // A client may FreeLibrary the module while the thread runs (ignoring DllCanUnloadNow, or
        // just as the thread gives its lock back): its own reference keeps the code mapped until
        // it has left it.
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadMain),
                           &thread->module);
#endif
        HANDLE handle = CreateThread(nullptr, mStackBytes, ThreadMain, thread.get(), STACK_SIZE_PARAM_IS_A_RESERVATION,
                                     nullptr);
        if (handle) {
            thread.release();
            CloseHandle(handle);
            return true;
        }
#ifdef _WIN32
        if (thread->module) FreeLibrary(thread->module);
#endif
        ModuleLockDecrement();
    }
    Ended();
    return false;
}

DWORD WINAPI HandlerPool::ThreadMain(LPVOID param) {
    Thread* self = static_cast<Thread*>(param);
    HandlerPool* pool = self->pool;
    HMODULE module = self->module;
    for (void* item = self->item; item; item = pool->NextItem(*self)) self->worker->Serve(item);
    self->worker.reset();  // on its own thread
    Thread::Release(self);
    // Its lock goes first: a pool found without threads holds none.
    ModuleLockDecrement();
    pool->Ended();
#ifdef _WIN32
    // Returning would run this module's code after the reference is given back.
    if (module) FreeLibraryAndExitThread(module, 0);
#else
    (void)module;
#endif
    return 0;
}

void* HandlerPool::NextItem(Thread& self) {
    self.item = nullptr;  // unlisted, nobody else writes it
    {
        std::lock_guard<std::mutex> hold(mLock);
        if (mOpen == 0 || mEnding) return nullptr;
        try {
            mIdle.push_back(&self);
        } catch (const std::bad_alloc&) {
            return nullptr;  // no room to wait in: end rather than fail
        }
    }
    std::unique_lock<std::mutex> parked(self.parking);
    if (!self.wake.wait_for(parked, std::chrono::milliseconds(mIdleMs), [&] { return self.item || self.end; })) {
        // Its time is up, unless Run took it off the list meanwhile: then an item is on its way.
        parked.unlock();
        {
            std::lock_guard<std::mutex> hold(mLock);
            auto listed = std::find(mIdle.begin(), mIdle.end(), &self);
            if (listed != mIdle.end()) {
                mIdle.erase(listed);
                return nullptr;
            }
        }
        parked.lock();
        self.wake.wait(parked, [&] { return self.item || self.end; });
    }
    return self.end ? nullptr : self.item;
}

void HandlerPool::EndIdleLocked() {
    for (Thread* idle : mIdle) {
        std::lock_guard<std::mutex> hold(idle->parking);
        idle->end = true;
        idle->wake.notify_one();
    }
    mIdle.clear();
}

void HandlerPool::Ended() {
    std::lock_guard<std::mutex> hold(mLock);
    --mThreads;
    mAllEnded.notify_all();
}

bool HandlerPool::EndAll(DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(mLock);
    mEnding = true;
    EndIdleLocked();
    auto none = [this] { return mThreads == 0; };
    if (timeoutMs == INFINITE) {
        mAllEnded.wait(hold, none);
        return true;
    }
    return mAllEnded.wait_for(hold, std::chrono::milliseconds(timeoutMs), none);
}

LONG HandlerPool::Threads() {
    std::lock_guard<std::mutex> hold(mLock);
    return mThreads;
}

LONG HandlerPool::IdleThreads() {
    std::lock_guard<std::mutex> hold(mLock);
    return static_cast<LONG>(mIdle.size());
}
