// sync.cpp -- handles and waits, threads, events, critical sections, Sleep.
#include "KernelObject.h"
#include "Win32Error.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

using namespace kvposix;

namespace {

constexpr SIZE_T kMinimumStack = 256 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KV_SANITIZED_THREADS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KV_SANITIZED_THREADS 1
#endif
#endif

// What a thread gets when its creator names no size: Windows' usual reservation. Linux would
// give 8 MiB (the stack limit), and glibc keeps only 40 MiB of ended threads' stacks for reuse:
// five of those, too few where a thread serves each connection, so that most threads would map,
// fault in and unmap a stack of their own. Under a sanitizer threads keep Linux's default: its
// runtime widens every frame, and ThreadSanitizer's thread state alone takes some 770 KiB of
// the stack's mapping. (0: the system's default.)
#ifdef KV_SANITIZED_THREADS
constexpr SIZE_T kDefaultStack = 0;
#else
constexpr SIZE_T kDefaultStack = 1024 * 1024;
#endif

// A thread runs detached: nobody joins it. It holds a reference to its own object until its
// start routine has returned, so the object outlives whichever ends last, the thread or the
// handles to it.
class Thread final : public ThreadObject {
public:
    Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
        : mStart(start), mParameter(parameter), mSuspendCount(suspended ? 1 : 0) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(mLock);
        return WaitUntil(mChanged, lock, milliseconds, [this] { return mFinished; }) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }

    DWORD ExitCode() override {
        std::lock_guard<std::mutex> lock(mLock);
        return mFinished ? mExitCode : STILL_ACTIVE;
    }

    DWORD Resume() override {
        std::lock_guard<std::mutex> lock(mLock);
        DWORD previous = mSuspendCount;
        if (mSuspendCount > 0 && --mSuspendCount == 0) mChanged.notify_all();
        return previous;
    }

    // A thread still waiting to be resumed has run none of its caller's code: it may simply go.
    // One created running is not ended, even before it is scheduled: whether it has begun would
    // be a race the caller cannot see.
    bool TerminateUnstarted(DWORD code) override {
        std::lock_guard<std::mutex> lock(mLock);
        if (mFinished) return true;
        if (mStarted || mSuspendCount == 0) return false;
        mExitCode = code;
        mFinished = true;
        mChanged.notify_all();
        return true;
    }

    // Blocks until the new thread has published its id: CreateThread reports it at once when
    // asked, also for a thread that stays suspended.
    DWORD WaitForId() {
        std::unique_lock<std::mutex> lock(mLock);
        mChanged.wait(lock, [this] { return mId != 0; });
        return mId;
    }

    static void* Main(void* argument) {
        Thread* self = static_cast<Thread*>(argument);
        {
            std::unique_lock<std::mutex> lock(self->mLock);
            self->mId = GetCurrentThreadId();
            self->mChanged.notify_all();
            self->mChanged.wait(lock, [self] { return self->mSuspendCount == 0 || self->mFinished; });
            if (self->mFinished) {  // terminated before it was resumed
                lock.unlock();
                self->Release();
                return nullptr;
            }
            self->mStarted = true;
        }
        DWORD code = self->mStart(self->mParameter);
        {
            std::lock_guard<std::mutex> lock(self->mLock);
            self->mExitCode = code;
            self->mFinished = true;
            self->mChanged.notify_all();
        }
        self->Release();
        return nullptr;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    const LPTHREAD_START_ROUTINE mStart;
    const LPVOID mParameter;
    DWORD mSuspendCount;
    DWORD mId = 0;
    bool mStarted = false;  // the start routine has begun
    bool mFinished = false;
    DWORD mExitCode = STILL_ACTIVE;
};

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool signalled)
        : KernelObject(ObjectKind::Event), mManualReset(manualReset), mSignalled(signalled) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(mLock);
        if (!WaitUntil(mChanged, lock, milliseconds, [this] { return mSignalled; })) return WAIT_TIMEOUT;
        if (!mManualReset) mSignalled = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard<std::mutex> lock(mLock);
        mSignalled = true;
        // An auto-reset event lets exactly one waiter through; whoever wakes first takes it.
        if (mManualReset) {
            mChanged.notify_all();
        } else {
            mChanged.notify_one();
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mLock);
        mSignalled = false;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    const bool mManualReset;
    bool mSignalled;
};

}  // namespace

KVAPI BOOL CloseHandle(HANDLE hObject) { return RemoveAnyHandle(hObject) ? TRUE : FALSE; }

KVAPI DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Ref<KernelObject> object = ReferenceAnyHandle(hHandle);
    if (!object) return WAIT_FAILED;
    return object->Wait(dwMilliseconds);
}

KVAPI HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                          LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) return FailWith(ERROR_INVALID_PARAMETER, HANDLE(nullptr));

    pthread_attr_t attributes;
    if (int rc = pthread_attr_init(&attributes)) return FailWith(Win32ErrorFromErrno(rc), HANDLE(nullptr));
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (SIZE_T size = dwStackSize ? std::max(dwStackSize, kMinimumStack) : kDefaultStack) {
        SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        pthread_attr_setstacksize(&attributes, (size + page - 1) / page * page);
    }

    Thread* thread = new (std::nothrow) Thread(lpStartAddress, lpParameter, (dwCreationFlags & CREATE_SUSPENDED) != 0);
    if (!thread) {
        pthread_attr_destroy(&attributes);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    }
    thread->AddRef();  // the running thread's own reference
    pthread_t id;
    int rc = pthread_create(&id, &attributes, &Thread::Main, thread);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete thread;
        return FailWith(Win32ErrorFromErrno(rc), HANDLE(nullptr));
    }
    // Only a caller that asks for the id waits for the new thread to publish it; the accept loop,
    // which starts a thread per connection, does not.
    DWORD threadId = lpThreadId ? thread->WaitForId() : 0;
    HANDLE handle = InsertHandle(thread);
    if (handle && lpThreadId) *lpThreadId = threadId;
    return handle;
}

KVAPI DWORD ResumeThread(HANDLE hThread) {
    Ref<ThreadObject> thread = ReferenceHandleAs<ThreadObject>(hThread, ObjectKind::Thread);
    if (!thread) return DWORD(-1);
    return thread->Resume();
}

KVAPI BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    Ref<ThreadObject> thread = ReferenceHandleAs<ThreadObject>(hThread, ObjectKind::Thread);
    if (!thread) return FALSE;
    if (!lpExitCode) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

KVAPI BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    Ref<ThreadObject> thread = ReferenceHandleAs<ThreadObject>(hThread, ObjectKind::Thread);
    if (!thread) return FALSE;
    return thread->TerminateUnstarted(dwExitCode) ? TRUE : FailWith(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

namespace {

// The id is asked for several times per connection (apartments, locks, log lines); the system is
// asked once per thread. A child made by fork is a thread of its own with another id.
thread_local DWORD tThreadId = 0;

void ForgetThreadIdInChild() { tThreadId = 0; }

struct ForgetAfterFork {
    ForgetAfterFork() { pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild); }
} gForgetAfterFork;

}  // namespace

KVAPI DWORD GetCurrentThreadId(void) {
    DWORD id = tThreadId;
    if (id == 0) tThreadId = id = static_cast<DWORD>(gettid());
    return id;
}

KVAPI void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec remaining = {static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

KVAPI HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (lpName) return FailWith(ERROR_NOT_SUPPORTED, HANDLE(nullptr));
    Event* event = new (std::nothrow) Event(bManualReset != FALSE, bInitialState != FALSE);
    if (!event) return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    HANDLE handle = InsertHandle(event);
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
}

KVAPI BOOL SetEvent(HANDLE hEvent) {
    Ref<Event> event = ReferenceHandleAs<Event>(hEvent, ObjectKind::Event);
    if (!event) return FALSE;
    event->Set();
    return TRUE;
}

KVAPI BOOL ResetEvent(HANDLE hEvent) {
    Ref<Event> event = ReferenceHandleAs<Event>(hEvent, ObjectKind::Event);
    if (!event) return FALSE;
    event->Reset();
    return TRUE;
}

KVAPI void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->Mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

KVAPI BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD) {
    InitializeCriticalSection(lpCriticalSection);
    return TRUE;
}

KVAPI void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(&lpCriticalSection->Mutex);
}

KVAPI BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(&lpCriticalSection->Mutex) == 0 ? TRUE : FALSE;
}

KVAPI void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(&lpCriticalSection->Mutex);
}

KVAPI void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(&lpCriticalSection->Mutex);
}
