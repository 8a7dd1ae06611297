// WorkerThread.cpp -- the thread base: suspended creation, MTA entry, bounded stop.
#include "WorkerThread.h"

#include <stdexcept>

namespace {
const DWORD kTerminationWaitMs = 1000;
}  // namespace

WorkerThread::WorkerThread() : mAutoDelete(0), mThread(nullptr) {
    InitializeCriticalSection(&mLock);
    mThread = CreateThread(nullptr, 0, WorkerThreadProc, this, CREATE_SUSPENDED, nullptr);
    if (!mThread) {
        DeleteCriticalSection(&mLock);
        throw std::runtime_error("WorkerThread: cannot create thread");
    }
}

WorkerThread::~WorkerThread() {
    // A thread that never ran would otherwise stay suspended for the life of the process; it
    // holds nothing, so ending it is safe (also where running threads cannot be ended).
    if (mThread && !mResumed) TerminateThread(mThread, 0);
    if (mThread) {
        CloseHandle(mThread);
        mThread = nullptr;
    }
    DeleteCriticalSection(&mLock);
}

DWORD WorkerThread::OnRun() { return 0; }

DWORD WINAPI WorkerThread::WorkerThreadProc(LPVOID param) {
    WorkerThread* self = static_cast<WorkerThread*>(param);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD result = self->OnRun();
    if (self->mAutoDelete == 1) delete self;
    return result;
}

void WorkerThread::ResumeWorker() {
    mResumed = true;
    ResumeThread(mThread);
}

bool WorkerThread::IsRunning() const {
    return mResumed && mThread && WaitForSingleObject(mThread, 0) == WAIT_TIMEOUT;
}

DWORD WorkerThread::ExitCode() const {
    DWORD code = 0;
    if (mThread) GetExitCodeThread(mThread, &code);
    return code;
}

BOOL WorkerThread::EndIfStillActive() {
    DWORD code = 0;
    BOOL read = GetExitCodeThread(mThread, &code);
    if (code != kStillActive) return read;
    // Without forced termination (POSIX) only a thread that never ran can be ended; one that
    // runs keeps running and keeps reading as active.
    if (!TerminateThread(mThread, kStillActive)) return FALSE;
    // Termination completes asynchronously; once it has, the thread no longer reads as running.
    WaitForSingleObject(mThread, kTerminationWaitMs);
    return TRUE;
}

BOOL WorkerThread::Stop(DWORD timeoutMs, LONG mode) {
    if (mode != kTerminateNow) WaitForSingleObject(mThread, timeoutMs);
    return EndIfStillActive();
}
