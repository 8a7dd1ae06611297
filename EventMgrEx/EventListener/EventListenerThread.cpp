// EventListenerThread.cpp -- the listener thread: start handshake, port selection, accept loop, stop.
#include "EventListenerThread.h"

#include <stdlib.h>

#include <memory>
#include <new>
#include <string>

#include "AnsiText.h"
#include "ConnectionHandler.h"
#include "HResultError.h"
#include "Logging.h"
#include "ModuleLock.h"
#include "RegistryValue.h"
#include "RunningHandlers.h"
#include "ShutdownAck.h"

namespace {

const char kListenerKey[] = "Software\\Korvane\\KVLumen\\Listener";
const char kPortsValue[] = "ports";
const char kFallbackPort[] = "0";
const DWORD kPortListGrowth = 1024;
const DWORD kAckWaitMs = 1000;

// The wake-up message: the 13 letters and their NUL.
const char kWakeUpMessage[] = "ShutDownEvent";
const int kWakeUpLength = sizeof(kWakeUpMessage);

// After an accept or a thread creation failed (descriptors, buffers or memory running out):
// no new attempt before this, so that a shortage never turns into a busy loop.
const DWORD kAcceptPauseMs = 100;
// Interrupted waits in a row before the wait counts as failed for good.
const int kMaxInterruptedWaits = 100;

// Lets a recurring line through at most once a second and counts what happened in between.
class LogThrottle {
public:
    // Counts one occurrence; true when a line may be written now.
    bool Due() {
        ++mCount;
        ULONGLONG now = GetTickCount64();
        if (mWritten && now - mLast < 1000) return false;
        mWritten = true;
        mLast = now;
        return true;
    }
    // The occurrences since the last line, this one included.
    unsigned long Take() {
        unsigned long count = mCount;
        mCount = 0;
        return count;
    }

private:
    ULONGLONG mLast = 0;
    bool mWritten = false;
    unsigned long mCount = 0;
};

// Accept failures that concern one connection only (its peer gave up before we took it):
// the next one may be taken at once.
bool PeerGaveUp(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAEWOULDBLOCK || error == WSAEINTR;
}

bool IsEmpty(BSTR text) { return !text || text[0] == 0; }

void CloseListening(SOCKET s) {
    shutdown(s, SD_BOTH);
    closesocket(s);
}

// The port of an address; 0 for a family we do not know.
USHORT PortOf(const sockaddr* address) {
    if (address->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    if (address->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    return 0;
}

// A usable port entry is a whole number from 0 to 65535 in decimal digits. Anything else -- a
// service name, a sign, a blank, a number the system would silently wrap -- is not.
bool IsPortNumber(const char* text) {
    if (!*text) return false;
    unsigned long value = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*text - '0');
        if (value > 65535) return false;
    }
    return true;
}

void SetPort(sockaddr* address, USHORT port) {
    if (address->sa_family == AF_INET) reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
    if (address->sa_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
}

}  // namespace

EventListenerThread::EventListenerThread()
    : mStarted(false),
      mListenInfo(nullptr),
      mStartupEvent(nullptr),
      mShutdownEvent(nullptr),
      mSocketCount(0),
      mHostNameValid(true) {
    mListenInfo = ThrowIfNull(SysAllocString(L""));
    for (SOCKET& s : mSockets) s = INVALID_SOCKET;
    mHostName[0] = '\0';
    try {
        if (gethostname(mHostName, sizeof(mHostName)) != 0) {
            mHostNameValid = false;
            KVLOG(5, "EventListenerThread::EventListenerThread: Failed to gethostname");
        }
    } catch (...) {
        mHostNameValid = false;
    }
}

EventListenerThread::~EventListenerThread() {
    KV_TRACE_SCOPE("EventListenerThread::~EventListenerThread");
    if (mStartupEvent) {
        CloseHandle(mStartupEvent);
        mStartupEvent = nullptr;
    }
    if (mShutdownEvent) {
        CloseHandle(mShutdownEvent);
        mShutdownEvent = nullptr;
    }
    closeSockets();
    SysFreeString(mListenInfo);
    mListenInfo = nullptr;
    // A thread that was ended by force never gave its lock back.
    releaseModuleLock();
}

void EventListenerThread::releaseModuleLock() {
    if (mHoldsModuleLock.exchange(false)) ModuleLockDecrement();
}

void EventListenerThread::closeSockets() {
    for (SOCKET& s : mSockets) {
        if (s != INVALID_SOCKET) {
            CloseListening(s);
            s = INVALID_SOCKET;
        }
    }
}

bool EventListenerThread::GetStatus() {
    KV_TRACE_SCOPE("EventListenerThread::GetStatus");
    return mHostNameValid;
}

LONG EventListenerThread::Start() {
    KV_TRACE_SCOPE("EventListenerThread::Start");
    LONG result = -1;
    try {
        if (mStarted || mStartupEvent) {
            KVLOG(5, "EventListenerThread::Start: Listener is started already.");
            result = 0;
        } else if (!(mStartupEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
            KVLOG(5, "EventListenerThread::Start: Failed to create Start up event.");
        } else if (!(mShutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
            KVLOG(5, "EventListenerThread::Start: Failed to create Shutdown event.");
        } else {
            mHoldsModuleLock = true;
            ModuleLockIncrement();
            ResumeWorker();
            WaitForSingleObject(mStartupEvent, INFINITE);
            result = mStarted ? 0 : -1;
        }
    } catch (...) {
        KVLOG(5, "EventListenerThread::Start: Unknown exception occurred");
        result = -1;
    }
    KVLOG_EXIT(5, "EventListenerThread::Start", result);
    return result;
}

DWORD EventListenerThread::OnRun() {
    KV_TRACE_SCOPE("EventListenerThread::OnRun");
    mStarted = true;
    if (setListenPort() != 0) {
        mStarted = false;
        KVLOG(5, "EventListenerThread::OnRun: Server Listen failed");
    }
    KVLOG_EXIT(5, "EventListenerThread::OnRun", 0);
    releaseModuleLock();
    return 0;
}

BOOL EventListenerThread::Stop(DWORD timeoutMs, LONG mode) {
    KV_TRACE_SCOPE("EventListenerThread::Stop");
    BOOL result = FALSE;
    try {
        // The acknowledgement is armed before the shutdown is signalled: an accept loop that finds
        // the shutdown before our wake-up arrives acknowledges it itself (see acceptLoop).
        ShutdownAck::Event ack = gShutdownAck.Arm();
        if (mShutdownEvent) SetEvent(mShutdownEvent);
        // An accept loop at its connection limit waits for a handler to end, not for a wake-up.
        RunningHandlers::Interrupt();

        // The accept loop blocks without a time limit: connect to our own sockets so it looks at
        // the shutdown event again.
        SOCKET wakeUps[kMaxSockets];
        int wakeUpCount = 0;
        std::string service = AnsiFromWide(mListenInfo);
        addrinfo* results = nullptr;
        if (getaddrinfo(mHostName, service.c_str(), nullptr, &results) != 0) {
            results = nullptr;
            KVLOG(5, "EventListenerThread::createSocketArray: Failed to getaddrinfo");
        } else {
            for (addrinfo* ai = results; ai && wakeUpCount < kMaxSockets; ai = ai->ai_next) {
                if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
                SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
                wakeUps[wakeUpCount++] = s;
                if (s == INVALID_SOCKET) continue;
                if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0)
                    send(s, kWakeUpMessage, kWakeUpLength, 0);
            }
        }
        for (int i = 0; i < wakeUpCount; ++i) {
            if (wakeUps[i] != INVALID_SOCKET) CloseListening(wakeUps[i]);
        }
        if (results) freeaddrinfo(results);

        if (!ShutdownAck::Wait(ack, kAckWaitMs))
            KVLOG(5, "EventListenerThread::Stop: the wake-up was not acknowledged within %lu ms", (unsigned long)kAckWaitMs);
        result = WorkerThread::Stop(timeoutMs, mode);
    } catch (...) {
        KVLOG(5, "EventListenerThread::Stop Unknown exception occurred");
    }
    return result;
}

BSTR EventListenerThread::GetPort() {
    KV_TRACE_SCOPE("EventListenerThread::GetPort");
    if (!mListenInfo) return nullptr;
    return ThrowIfNull(SysAllocStringLen(mListenInfo, SysStringLen(mListenInfo)));
}

char* EventListenerThread::getPortListFromRegistry() {
    KV_TRACE_SCOPE("EventListenerThread::getPortListFromRegistry");
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListenerKey, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return nullptr;
    // Grow by a fixed step until the list fits; the size the registry reports is not trusted.
    DWORD size = 1;
    char* list = static_cast<char*>(malloc(size));
    LONG rc = ERROR_OUTOFMEMORY;
    while (list) {
        DWORD got = size;
        rc = QueryStringValue(key, kPortsValue, list, &got);
        if (rc != ERROR_MORE_DATA) break;
        size += kPortListGrowth;
        char* grown = static_cast<char*>(realloc(list, size));
        if (!grown) {
            free(list);
            list = nullptr;
        } else {
            list = grown;
        }
    }
    if (list && rc != ERROR_SUCCESS) {
        free(list);
        list = nullptr;
    }
    RegCloseKey(key);
    return list;
}

bool EventListenerThread::selectAPort(const char* portList) {
    KV_TRACE_SCOPE("EventListenerThread::selectAPort");
    bool result = false;
    try {
        if (portList) {
            KVLOG(5, "EventListenerThread::selectAPort: Ports to choose from %s", portList);
            // Entries are separated by commas; empty entries (runs of commas) are skipped.
            std::string list(portList);
            size_t begin = 0;
            while (!result && begin <= list.size()) {
                size_t comma = list.find(',', begin);
                size_t end = comma == std::string::npos ? list.size() : comma;
                if (end > begin) {
                    std::string entry = list.substr(begin, end - begin);
                    result = createSocketArray(entry.c_str(), &mSocketCount) && !IsEmpty(mListenInfo);
                }
                if (comma == std::string::npos) break;
                begin = comma + 1;
            }
        }
        if (!result) {
            if (createSocketArray(kFallbackPort, &mSocketCount))
                result = !IsEmpty(mListenInfo);
            else
                KVLOG(5, "EventListenerThread::selectAPort: createSocketArray failed");
        }
    } catch (...) {
        KVLOG(5, "EventListenerThread::selectAPort: Unknown exception occurred");
        result = false;
    }
    KVLOG_EXIT(5, "EventListenerThread::selectAPort", result ? 1 : 0);
    return result;
}

bool EventListenerThread::createSocketArray(const char* port, LONG* socketCount) {
    KV_TRACE_SCOPE("EventListenerThread::createSocketArray");
    bool result = false;
    addrinfo* results = nullptr;
    int slot = 0;
    try {
        // An entry that is no port number fails like one the lookup rejects.
        if (!IsPortNumber(port) || getaddrinfo(mHostName, port, nullptr, &results) != 0) {
            results = nullptr;
            KVLOG(5, "EventListenerThread::createSocketArray: Failed to getaddrinfo");
        } else {
            // The port text handed out is the port the first socket is really bound to. Port 0
            // lets the system choose: the chosen port is then taken by every further address, so
            // that clients and the stop can reach them all.
            USHORT chosenPort = 0;
            for (addrinfo* ai = results; ai && slot < kMaxSockets; ai = ai->ai_next) {
                if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
                SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
                mSockets[slot] = s;
                if (s == INVALID_SOCKET) continue;
                sockaddr_storage address = {};
                memcpy(&address, ai->ai_addr, ai->ai_addrlen);
                bool systemChosen = PortOf(ai->ai_addr) == 0;
                if (systemChosen && chosenPort != 0) SetPort(reinterpret_cast<sockaddr*>(&address), chosenPort);
                if (bind(s, reinterpret_cast<sockaddr*>(&address), static_cast<int>(ai->ai_addrlen)) == SOCKET_ERROR ||
                    listen(s, SOMAXCONN) == SOCKET_ERROR) {
                    closesocket(s);
                    mSockets[slot] = INVALID_SOCKET;
                    continue;
                }
                if (chosenPort == 0) {
                    sockaddr_storage bound = {};
                    int length = sizeof(bound);
                    if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
                        chosenPort = PortOf(reinterpret_cast<sockaddr*>(&bound));
                }
                std::string portText = chosenPort != 0 ? std::to_string(chosenPort) : std::string(port);
                ++slot;
                BSTR info = ThrowIfNull(AllocBstrFromAnsi(portText.c_str()));
                SysFreeString(mListenInfo);
                mListenInfo = info;
                result = true;
            }
            *socketCount = slot;
        }
    } catch (...) {
        KVLOG(5, "EventListenerThread::createSocketArray: Unknown exception");
        // Sockets this attempt opened are not left behind.
        for (int i = 0; i < kMaxSockets; ++i) {
            if (mSockets[i] != INVALID_SOCKET) {
                CloseListening(mSockets[i]);
                mSockets[i] = INVALID_SOCKET;
            }
        }
        *socketCount = 0;
        result = false;
    }
    if (results) freeaddrinfo(results);
    KVLOG_EXIT(5, "EventListenerThread::createSocketArray", result ? 1 : 0);
    return result;
}

LONG EventListenerThread::setListenPort() {
    KV_TRACE_SCOPE("EventListenerThread::setListenPort");
    LONG result = -1;
    try {
        mSettings = ListenerSettings::Read();
        std::unique_ptr<char, decltype(&free)> portList(getPortListFromRegistry(), &free);
        bool selected = selectAPort(portList.get());
        portList.reset();
        if (!selected || IsEmpty(mListenInfo)) {
            KVLOG(5, "EventListenerThread::setListenPort: Failed to select any port to listen on");
            mStarted = false;
            SetEvent(mStartupEvent);
        } else {
            result = 0;
            SetEvent(mStartupEvent);
            acceptLoop();
        }
    } catch (...) {
        KVLOG(5, "EventListenerThread::setListenPort: Unknown exception");
        mStarted = false;
        SetEvent(mStartupEvent);
        result = -1;
    }
    KVLOG_EXIT(5, "EventListenerThread::setListenPort", result);
    return result;
}

void EventListenerThread::acceptLoop() {
    // Handler threads wait for further connections while the loop runs; after it they end.
    struct OpenPool {
        OpenPool() { HandlerThreads().Open(); }
        ~OpenPool() { HandlerThreads().Close(); }
    } openPool;
    LogThrottle atLimit;
    LogThrottle acceptFailures;
    LogThrottle threadFailures;
    int interruptedWaits = 0;
    const LONG maxConnections = static_cast<LONG>(mSettings.maxConnections);
    for (;;) {
        ULONG ticket = RunningHandlers::Ticket();  // before the shutdown test: see WaitForRoom
        if (WaitForSingleObject(mShutdownEvent, 0) == WAIT_OBJECT_0) {
            // The loop has ended, which is what the stop waits to hear; its wake-up, if it has not
            // arrived yet, would find no one to accept it.
            gShutdownAck.Signal();
            return;
        }
        // At the limit new connections wait in the listening sockets' backlog until a handler
        // ends; a stop interrupts the wait.
        if (RunningHandlers::Count() >= maxConnections) {
            if (atLimit.Due())
                KVLOG(2, "EventListenerThread::setListenPort: %ld connections are being served, the most maxConnections "
                         "allows; new connections wait (limit reached %lu time(s) since the last report)",
                      (long)maxConnections, atLimit.Take());
            RunningHandlers::WaitForRoom(maxConnections, ticket);
            continue;
        }
        fd_set readSet;
        FD_ZERO(&readSet);
        for (LONG i = 0; i < mSocketCount && i < kMaxSockets; ++i) FD_SET(mSockets[i], &readSet);
        if (select(0, &readSet, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEINTR && ++interruptedWaits < kMaxInterruptedWaits) continue;
            // Nothing will be accepted any more: the listener must not read as started.
            KVLOG(1, "EventListenerThread::setListenPort select() call failed (error %d); no more connections are accepted",
                  error);
            mStarted = false;
            return;
        }
        interruptedWaits = 0;
        // One connection per pass: the shutdown event is tested again before the next accept.
        for (LONG i = 0; i < mSocketCount && i < kMaxSockets; ++i) {
            if (!FD_ISSET(mSockets[i], &readSet)) continue;
            SOCKET connection = accept(mSockets[i], nullptr, nullptr);
            if (connection != INVALID_SOCKET) {
                if (!startHandler(connection)) {
                    if (threadFailures.Due())
                        KVLOG(1, "EventListenerThread::setListenPort: Failed to create a handler thread, connection "
                                 "closed (%lu time(s) since the last report)",
                              threadFailures.Take());
                    WaitForSingleObject(mShutdownEvent, kAcceptPauseMs);
                }
                break;
            }
            int error = WSAGetLastError();
            if (PeerGaveUp(error)) continue;
            // Out of descriptors, buffers or memory: the connection stays in the backlog, and
            // trying again at once would only fail again.
            if (acceptFailures.Due())
                KVLOG(1, "EventListenerThread::setListenPort: accept() failed (error %d), %lu time(s) since the last "
                         "report; accepting pauses for %lu ms",
                      error, acceptFailures.Take(), (unsigned long)kAcceptPauseMs);
            WaitForSingleObject(mShutdownEvent, kAcceptPauseMs);
            break;
        }
    }
}

bool EventListenerThread::startHandler(SOCKET connection) {
    // The handler runs this module's code: it is counted until it ends.
    RunningHandlers::Starting();
    AcceptedConnection* accepted = new (std::nothrow) AcceptedConnection{connection, GetTickCount64(), mSettings};
    // An idle handler thread takes it, or a new one; none ever waits for another connection.
    if (accepted && HandlerThreads().Run(accepted)) return true;
    delete accepted;
    RunningHandlers::Ended();
    shutdown(connection, SD_BOTH);
    closesocket(connection);
    return false;
}
