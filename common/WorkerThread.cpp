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
    HMODULE module = self->mModule;  // read now: an auto-deleting object is gone after OnRun
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD result = self->OnRun();
    if (self->mAutoDelete == 1) delete self;
#ifdef _WIN32
    // Returning would run this module's code after the reference is given back.
    if (module) FreeLibraryAndExitThread(module, result);
#else
    (void)module;
#endif
    return result;
}

void WorkerThread::ResumeWorker() {
#ifdef _WIN32
    // A client may FreeLibrary the module while this thread runs (ignoring DllCanUnloadNow, or
    // without COM): the thread's own reference keeps the code mapped until it has left it.
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&WorkerThreadProc), &module))
        mModule = module;
#endif
    mResumed = true;
    if (ResumeThread(mThread) == static_cast<DWORD>(-1) && mModule) {
        FreeLibrary(mModule);
        mModule = nullptr;
    }
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
