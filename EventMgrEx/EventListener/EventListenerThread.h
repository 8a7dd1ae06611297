// EventListenerThread.h -- the listener engine: start handshake, port selection, listening, the stop handshake.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "ListenerSettings.h"
#include "ListeningSockets.h"
#include "WorkerThread.h"

// One object per start of the listener. Its thread selects a port, listens on every address of
// the host name and runs the accept loop, which hands each connection to the connection service,
// until a stop signals the shutdown event and wakes the loop by connecting to its own port.
//
// The host may override the registry for one process: KVLUMEN_PORTS (a port list with the syntax
// of the "ports" value) is used instead of "ports", and KVLUMEN_LISTEN (comma-separated numeric
// addresses, "0.0.0.0" and "::" included) instead of the addresses of the host name.
class EventListenerThread : public WorkerThread {
public:
    static const int kMaxSockets = ListeningSockets::kMax;

    EventListenerThread();  // throws when the thread or the empty port text cannot be made
    ~EventListenerThread() override;

    // True when the host name could be read at construction.
    bool GetStatus();
    // Resumes the thread and waits until it reports; 0 when it listens, -1 otherwise.
    LONG Start();
    // Signals shutdown, wakes the accept loop, waits for the acknowledgement (1000 ms) and then
    // for the thread (timeoutMs, mode as in WorkerThread::Stop); then lets the deliveries under
    // way finish (stopDrainMs at most).
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
    ListeningSockets mSockets;
    LONG mSocketCount;
    char mHostName[1024];
    bool mHostNameValid;
    ListenerSettings mSettings;  // read as the listener starts

private:
    // The module lock that the running thread holds (so the module is not unloaded under it);
    // given back once, by whichever comes first: the thread's end or the object's destruction.
    void releaseModuleLock();
    std::atomic<bool> mHoldsModuleLock{false};

    // Where to listen: the addresses KVLUMEN_LISTEN names, else the host name.
    std::vector<std::string> listenHosts() const;
    // Connects to each listening socket and sends the wake-up message.
    void sendWakeUps();
};
