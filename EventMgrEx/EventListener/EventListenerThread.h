// EventListenerThread.h -- the listener engine: port selection, listening sockets, accept loop.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>

#include "ListenerSettings.h"
#include "WorkerThread.h"

// One object per start of the listener. Its thread selects a port, listens on every address of
// the host name and hands each accepted connection to a handler thread of its own, until a stop
// signals the shutdown event and wakes the accept loop by connecting to its own port.
class EventListenerThread : public WorkerThread {
public:
    static const int kMaxSockets = 64;

    EventListenerThread();  // throws when the thread or the empty port text cannot be made
    ~EventListenerThread() override;

    // True when the host name could be read at construction.
    bool GetStatus();
    // Resumes the thread and waits until it reports; 0 when it listens, -1 otherwise.
    LONG Start();
    // Signals shutdown, wakes the accept loop, waits for the acknowledgement (1000 ms) and then
    // for the thread (timeoutMs, mode as in WorkerThread::Stop).
    BOOL Stop(DWORD timeoutMs, LONG mode) override;
    // A copy of the port text (caller frees); throws E_OUTOFMEMORY when it cannot be copied.
    BSTR GetPort();

protected:
    DWORD OnRun() override;

    // Port selection and the accept loop, run on the listener thread.
    char* getPortListFromRegistry();
    bool selectAPort(const char* portList);
    bool createSocketArray(const char* port, LONG* socketCount);
    LONG setListenPort();

    std::atomic<bool> mStarted;
    BSTR mListenInfo;
    HANDLE mStartupEvent;
    HANDLE mShutdownEvent;
    SOCKET mSockets[kMaxSockets];
    LONG mSocketCount;
    char mHostName[1024];
    bool mHostNameValid;
    ListenerSettings mSettings;  // read as the listener starts

private:
    // The module lock that the running thread holds (so the module is not unloaded under it);
    // given back once, by whichever comes first: the thread's end or the object's destruction.
    void releaseModuleLock();
    std::atomic<bool> mHoldsModuleLock{false};

    void closeSockets();
    void acceptLoop();
    // Hands the connection to a handler thread of its own; false (connection closed) when none could be made.
    bool startHandler(SOCKET connection);
};
