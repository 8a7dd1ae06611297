// WorkerThread.cpp -- the thread base: suspended creation, MTA entry, bounded stop.
#include "WorkerThread.h"

#include <stdexcept>

WorkerThread::WorkerThread() : mAutoDelete(0), mThread(nullptr) {
    InitializeCriticalSection(&mLock);
    mThread = CreateThread(nullptr, 0, WorkerThreadProc, this, CREATE_SUSPENDED, nullptr);
    if (!mThread) {
        DeleteCriticalSection(&mLock);
        throw std::runtime_error("WorkerThread: cannot create thread");
    }
}

WorkerThread::~WorkerThread() {
#ifdef _WIN32
    // A thread that never ran would otherwise stay suspended for the life of the process; it
    // holds nothing, so ending it is safe.
    if (mThread && !mResumed) TerminateThread(mThread, 0);
#endif
    // (Elsewhere closing the last handle of a thread that never ran lets it go.)
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
#ifdef _WIN32
    return TerminateThread(mThread, kStillActive);
#else
    // No forced termination here: the thread keeps running and keeps reading as active.
    SetLastError(ERROR_TIMEOUT);
    return FALSE;
#endif
}

BOOL WorkerThread::Stop(DWORD timeoutMs, LONG mode) {
    if (mode != kTerminateNow) WaitForSingleObject(mThread, timeoutMs);
    return EndIfStillActive();
}
