// WorkerThread.h -- one object, one operating-system thread: created suspended, run, stopped.
#pragma once

#include <windows.h>
#include <objbase.h>

// The thread is created suspended at construction; the derived class resumes it through mThread
// and decides how it is asked to finish. The thread joins the multithreaded COM apartment and
// returns OnRun's result as its exit code.
class WorkerThread {
public:
    static constexpr DWORD kStillActive = 259;  // exit code of a running (or terminated) thread
    static constexpr LONG kTerminateNow = 1;   // Stop mode that does not wait

    WorkerThread();  // throws when the thread cannot be created
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Waits up to timeoutMs for the thread to end (mode 1: no wait), then ends it by force where
    // the platform can. Nonzero when the last system call succeeded. Without forced termination
    // (POSIX) a thread that did not end is left running and the stop reports failure; the thread
    // then still reads exit code 259, so its owner keeps the object.
    virtual BOOL Stop(DWORD timeoutMs, LONG mode);

    // Exit code of the thread: 259 while it runs; 0 when it cannot be read.
    DWORD ExitCode() const;

    // True while the thread was resumed and has not ended (a terminated thread has ended, though
    // it reads exit code 259). A thread that never ran is not running.
    bool IsRunning() const;

protected:
    virtual DWORD OnRun();

    // Lets the suspended thread run. On Windows the running thread holds a reference to the
    // module its code is in, and gives it back as its very last act.
    void ResumeWorker();

    CRITICAL_SECTION mLock;
    LONG mAutoDelete;
    HANDLE mThread;

private:
    static DWORD WINAPI WorkerThreadProc(LPVOID param);
    bool mResumed = false;
    HMODULE mModule = nullptr;  // the running thread's reference to its module (Windows)
    BOOL EndIfStillActive();
};
