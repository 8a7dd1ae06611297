// SyncThreadTests.cpp -- threads, handles, waits, events, critical sections, interlocked counters.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

namespace {

struct Probe {
    LONG volatile ran = 0;
    DWORD threadId = 0;
    DWORD result = 0;
    HANDLE release = nullptr;  // when set, the thread waits for it before returning
};

DWORD WINAPI RecordAndReturn(LPVOID parameter) {
    Probe* probe = static_cast<Probe*>(parameter);
    probe->threadId = GetCurrentThreadId();
    if (probe->release) WaitForSingleObject(probe->release, INFINITE);
    DWORD result = probe->result;
    InterlockedExchange(&probe->ran, 1);  // the probe may be gone once this is seen
    return result;
}

DWORD WINAPI SetOwnLastError(LPVOID) {
    SetLastError(0xdeadbeef);
    return GetLastError();
}

LONG volatile gReleased;

DWORD WINAPI WaitThenCount(LPVOID parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    InterlockedIncrement(&gReleased);
    return 0;
}

CRITICAL_SECTION gSection;

DWORD WINAPI TryEnterFromOtherThread(LPVOID) {
    if (!TryEnterCriticalSection(&gSection)) return 0;
    LeaveCriticalSection(&gSection);
    return 1;
}

LONG volatile gCounter;

DWORD WINAPI Hammer(LPVOID) {
    for (int i = 0; i < 20000; ++i) {
        InterlockedIncrement(&gCounter);
        InterlockedExchangeAdd(&gCounter, 2);
        InterlockedDecrement(&gCounter);
    }
    return 0;
}

// Touches every page of a half-megabyte frame, as a deep call chain would.
DWORD WINAPI UseHalfAMegabyteOfStack(LPVOID) {
    volatile char frame[512 * 1024];
    for (size_t i = 0; i < sizeof(frame); i += 4096) frame[i] = 1;
    return frame[0] + frame[sizeof(frame) - 4096];
}

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* parameter, DWORD flags = 0, DWORD* id = nullptr) {
    return CreateThread(nullptr, 0, routine, parameter, flags, id);
}

}  // namespace

// A thread created suspended reads as still active and does not run until resumed, whether or
// not its creator asked for its id; a zero wait on it only looks.
TEST(SyncThread, SuspendedThreadRunsOnlyAfterResume) {
    for (bool askId : {true, false}) {
        SCOPED_TRACE(askId ? "id asked for" : "id not asked for");
        Probe probe;
        probe.result = 42;
        DWORD id = 0;
        HANDLE thread = StartThread(RecordAndReturn, &probe, CREATE_SUSPENDED, askId ? &id : nullptr);
        ASSERT_NE(nullptr, thread);
        EXPECT_EQ(askId, id != 0);

        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 100));
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(STILL_ACTIVE, code);
        EXPECT_EQ(0, probe.ran);

        EXPECT_EQ(1u, ResumeThread(thread));  // the previous suspend count
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
        EXPECT_EQ(1, probe.ran);
        if (askId) {
            EXPECT_EQ(id, probe.threadId) << "the id CreateThread reported is the thread's own";
        }
        ASSERT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(42u, code);
        EXPECT_EQ(0u, ResumeThread(thread)) << "nothing left to resume";
        EXPECT_TRUE(CloseHandle(thread));
    }
}

// The exit code is the start routine's return value, and the handle stays signalled.
TEST(SyncThread, ExitCodeIsTheReturnValue) {
    Probe probe;
    probe.result = 0x12345678;
    HANDLE thread = StartThread(RecordAndReturn, &probe);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "an ended thread stays signalled";
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0x12345678u, code);
    EXPECT_NE(GetCurrentThreadId(), probe.threadId);
    CloseHandle(thread);
}

// A thread created without a stack size gets the usual default of a megabyte or more: half a
// megabyte of locals fits.
TEST(SyncThread, DefaultStackHoldsHalfAMegabyte) {
    HANDLE thread = StartThread(UseHalfAMegabyteOfStack, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(2u, code);
    CloseHandle(thread);
}

// Closing the handle of a running thread leaves the thread running to its end.
TEST(SyncThread, ClosingTheHandleDoesNotStopTheThread) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, release);
    Probe probe;
    probe.release = release;
    HANDLE thread = StartThread(RecordAndReturn, &probe);
    ASSERT_NE(nullptr, thread);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(release);
    // Read the flag as the thread writes it, atomically: nothing else orders the two.
    for (int i = 0; i < 1000 && !InterlockedCompareExchange(&probe.ran, 0, 0); ++i) Sleep(10);
    EXPECT_EQ(1, InterlockedCompareExchange(&probe.ran, 0, 0));
    CloseHandle(release);
}

// A suspended thread that never ran can be terminated: it ends with the given code, and its
// start routine is never called, also when it is resumed afterwards.
TEST(SyncThread, TerminateEndsASuspendedThread) {
    Probe probe;
    HANDLE thread = StartThread(RecordAndReturn, &probe, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, thread);
    EXPECT_TRUE(TerminateThread(thread, 42));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(42u, code);
    ResumeThread(thread);
    Sleep(50);
    EXPECT_EQ(0, InterlockedCompareExchange(&probe.ran, 0, 0));
    CloseHandle(thread);
}

// Each thread has its own last-error value.
TEST(SyncThread, LastErrorIsPerThread) {
    SetLastError(0x1234);
    HANDLE thread = StartThread(SetOwnLastError, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, 10000);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(0xdeadbeefu, code);
    EXPECT_EQ(0x1234u, GetLastError());
    CloseHandle(thread);
}

// Calls on a handle that is not open fail with ERROR_INVALID_HANDLE.
TEST(SyncThread, InvalidHandlesAreRejected) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(event)) << "closed twice";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(0xdeadbeef);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    DWORD code = 7;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(DWORD(-1), ResumeThread(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

// A manual-reset event stays signalled and releases every waiter until reset.
TEST(SyncEvent, ManualResetReleasesAllWaiters) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    std::vector<Probe> probes(3);
    std::vector<HANDLE> threads;
    for (Probe& probe : probes) {
        probe.release = event;
        threads.push_back(StartThread(RecordAndReturn, &probe));
        ASSERT_NE(nullptr, threads.back());
    }
    Sleep(50);
    for (const Probe& probe : probes) EXPECT_EQ(0, probe.ran);
    EXPECT_TRUE(SetEvent(event));
    for (HANDLE thread : threads) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
        CloseHandle(thread);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0)) << "still signalled";
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

// An auto-reset event lets one waiter through per SetEvent and resets itself.
TEST(SyncEvent, AutoResetReleasesOneWaiterPerSet) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    gReleased = 0;
    HANDLE first = StartThread(WaitThenCount, event);
    HANDLE second = StartThread(WaitThenCount, event);
    ASSERT_TRUE(first && second);
    Sleep(100);
    EXPECT_TRUE(SetEvent(event));
    Sleep(300);
    EXPECT_EQ(1, InterlockedCompareExchange(&gReleased, 0, 0)) << "the second waiter still waits";
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 10000));
    EXPECT_EQ(2, gReleased);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "each set was consumed";
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(event);
}

// An event created signalled satisfies one wait (auto-reset) and then times out.
TEST(SyncEvent, InitiallySignalledAutoResetEventIsConsumedOnce) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

// A wait with a timeout returns WAIT_TIMEOUT, and not before the time has passed.
TEST(SyncWait, TimeoutElapsesBeforeWaitTimeout) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    DWORD before = GetTickCount();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 150));
    DWORD elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 130u);
    EXPECT_LT(elapsed, 5000u);
    CloseHandle(event);
}

// A critical section is re-entrant: it is free for others only after as many leaves as enters.
TEST(SyncCriticalSection, IsReentrantForItsOwner) {
    InitializeCriticalSection(&gSection);
    auto entered = []() {
        HANDLE thread = StartThread(TryEnterFromOtherThread, nullptr);
        WaitForSingleObject(thread, 10000);
        DWORD code = 99;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        return code;
    };
    EnterCriticalSection(&gSection);
    EXPECT_TRUE(TryEnterCriticalSection(&gSection)) << "the owner enters again";
    EXPECT_EQ(0u, entered());
    LeaveCriticalSection(&gSection);
    EXPECT_EQ(0u, entered()) << "one enter is still outstanding";
    LeaveCriticalSection(&gSection);
    EXPECT_EQ(1u, entered());
    DeleteCriticalSection(&gSection);
}

// Interlocked operations return Win32's values and lose no update between threads.
TEST(SyncInterlocked, OperationsAreAtomicAndReturnWin32Values) {
    LONG value = 5;
    EXPECT_EQ(6, InterlockedIncrement(&value));
    EXPECT_EQ(5, InterlockedDecrement(&value));
    EXPECT_EQ(5, InterlockedExchange(&value, 9)) << "returns the old value";
    EXPECT_EQ(9, InterlockedExchangeAdd(&value, 3)) << "returns the old value";
    EXPECT_EQ(12, value);
    EXPECT_EQ(12, InterlockedCompareExchange(&value, 20, 11)) << "no match: unchanged";
    EXPECT_EQ(12, value);
    EXPECT_EQ(12, InterlockedCompareExchange(&value, 20, 12));
    EXPECT_EQ(20, value);

    gCounter = 0;
    std::vector<HANDLE> threads;
    for (int i = 0; i < 6; ++i) threads.push_back(StartThread(Hammer, nullptr));
    for (HANDLE thread : threads) {
        ASSERT_NE(nullptr, thread);
        WaitForSingleObject(thread, 60000);
        CloseHandle(thread);
    }
    EXPECT_EQ(6 * 20000 * 2, gCounter);
}
