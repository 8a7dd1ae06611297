// KernelObject.h -- the reference-counted objects behind HANDLE values, and the handle table.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kvposix {

enum class ObjectKind { Thread, Event, Mutex, Process, File, Find };

class KernelObject {
public:
    explicit KernelObject(ObjectKind kind) : mKind(kind) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectKind kind() const { return mKind; }

    void AddRef() { mRefs.fetch_add(1, std::memory_order_relaxed); }
    // For caches that hold objects without a reference: fails once the object is dying.
    bool TryAddRef();
    void Release() {
        if (mRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_ABANDONED; WAIT_FAILED with the last error set. Objects
    // that cannot be waited on fail with ERROR_INVALID_HANDLE, as on Windows.
    virtual DWORD Wait(DWORD milliseconds);

private:
    std::atomic<long> mRefs{1};
    const ObjectKind mKind;
};

// Threads proper, and the stand-in for a child process's main thread.
class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(ObjectKind::Thread) {}
    virtual DWORD ExitCode() = 0;  // STILL_ACTIVE until the thread has ended
    virtual DWORD Resume() = 0;    // the suspend count before the call
    // Ends a thread that has not begun its start routine, with exit code `code` (true also for
    // one that has ended). False for a thread that runs: nothing can end it safely from outside.
    virtual bool TerminateUnstarted(DWORD) { return false; }
};

// One counted reference, released on destruction.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* adopted) : mObject(adopted) {}
    Ref(Ref&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            mObject = other.mObject;
            other.mObject = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    void reset() {
        if (mObject) mObject->Release();
        mObject = nullptr;
    }
    T* release() {
        T* object = mObject;
        mObject = nullptr;
        return object;
    }
    T* get() const { return mObject; }
    T* operator->() const { return mObject; }
    explicit operator bool() const { return mObject != nullptr; }

private:
    T* mObject = nullptr;
};

// Adds `object` to the table, taking over the caller's reference. On failure the reference is
// released and null returned with the last error set.
HANDLE InsertHandle(KernelObject* object);

// A new reference to the object behind `handle`, of kind `kind`; empty with
// ERROR_INVALID_HANDLE when the handle is not open or names something else.
Ref<KernelObject> ReferenceHandle(HANDLE handle, ObjectKind kind);

// The same for an object of any kind.
Ref<KernelObject> ReferenceAnyHandle(HANDLE handle);

template <class T>
Ref<T> ReferenceHandleAs(HANDLE handle, ObjectKind kind) {
    return Ref<T>(static_cast<T*>(ReferenceHandle(handle, kind).release()));
}

// Removes `handle` if it names an object of `kind` and drops the table's reference.
bool RemoveHandle(HANDLE handle, ObjectKind kind);
// Removes `handle` whatever its kind, except find handles (FindClose closes those).
bool RemoveAnyHandle(HANDLE handle);

// Waits on `changed` for `ready()`, at most `milliseconds` (INFINITE: no limit). True when ready.
template <class Ready>
bool WaitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, DWORD milliseconds,
               Ready ready) {
    // A zero timeout only looks: even an already expired timed wait would give the lock up and
    // go through the futex, which a loop that polls an event pays on every pass.
    if (milliseconds == 0) return ready();
    if (milliseconds == INFINITE) {
        changed.wait(lock, ready);
        return true;
    }
    return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace kvposix
