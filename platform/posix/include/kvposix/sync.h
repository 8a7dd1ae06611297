// sync.h -- handles, waits, threads, events, critical sections, interlocked counters, mutexes.
//
// What POSIX cannot do:
// - TerminateThread: there is no safe way to kill a running thread. A thread created suspended
//   that has not begun to run ends as on Windows (with the given exit code, its start routine
//   never called); for any other it validates the handle, then returns FALSE with
//   ERROR_CALL_NOT_IMPLEMENTED; the thread keeps running, keeps reading as STILL_ACTIVE, and its
//   object lives until it ends and its last handle is closed.
// - Named events: CreateEventA with a name fails with ERROR_NOT_SUPPORTED.
// - A thread created suspended whose handle is closed before ResumeThread stays parked, as on
//   Windows; nothing can resume it any more.
#pragma once

#include <pthread.h>

#include "kvposix/wintypes.h"

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | MUTEX_MODIFY_STATE)
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3u)

// Re-entrant, like Windows' own: the owning thread may enter again and must leave as often.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t Mutex;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

// Last error: one value per thread.
KVAPI DWORD GetLastError(void);
KVAPI void SetLastError(DWORD dwErrCode);

// Handles and waits. A handle names a reference to a kernel object; the object goes away with
// its last reference (a running thread and a held mutex keep one of their own).
KVAPI BOOL CloseHandle(HANDLE hObject);
KVAPI DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Threads.
KVAPI HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                          LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                          LPDWORD lpThreadId);
KVAPI DWORD ResumeThread(HANDLE hThread);
KVAPI BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
KVAPI BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);
KVAPI DWORD GetCurrentThreadId(void);
KVAPI void Sleep(DWORD dwMilliseconds);

// Events (unnamed only).
KVAPI HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                          LPCSTR lpName);
KVAPI BOOL SetEvent(HANDLE hEvent);
KVAPI BOOL ResetEvent(HANDLE hEvent);

// Critical sections.
KVAPI void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KVAPI BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
KVAPI void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KVAPI BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KVAPI void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KVAPI void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Mutexes: recursive per owning thread. Named ones are shared by every process of the machine
// that uses the name; one whose owner (thread or process) ends without releasing it is handed
// to the next waiter with WAIT_ABANDONED. A security descriptor without a DACL or with a null
// DACL opens a named mutex to all users; otherwise only its creator's user may open it.
KVAPI HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
KVAPI HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KVAPI BOOL ReleaseMutex(HANDLE hMutex);

#define CreateEvent CreateEventA
#define CreateMutex CreateMutexA
#define OpenMutex OpenMutexA

// Interlocked operations: full barriers, as on Windows.
static inline LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
