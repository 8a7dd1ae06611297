// EventListenerThread.cpp -- the listener thread: start handshake, port selection, the accept loop's run, the stop handshake.
#include "EventListenerThread.h"

#include <stdlib.h>

#include <memory>
#include <string>

#include "AcceptLoop.h"
#include "AnsiText.h"
#include "ConnectionService.h"
#include "HResultError.h"
#include "Logging.h"
#include "ModuleLock.h"
#include "RegistryValue.h"
#include "ShutdownAck.h"
#include "UniqueHandle.h"

namespace {

const char kListenerKey[] = "Software\\Korvane\\KVLumen\\Listener";
const char kPortsValue[] = "ports";
const char kFallbackPort[] = "0";
const DWORD kPortListGrowth = 1024;
const DWORD kAckWaitMs = 1000;
// The host's overrides of the registry, for this process only.
const char kPortsVariable[] = "KVLUMEN_PORTS";
const char kListenVariable[] = "KVLUMEN_LISTEN";

// The wake-up message: the 13 letters and their NUL.
const char kWakeUpMessage[] = "ShutDownEvent";
const int kWakeUpLength = sizeof(kWakeUpMessage);

bool IsEmpty(BSTR text) { return !text || text[0] == 0; }

// The value of an environment variable; false when it is not set (or empty).
bool Variable(const char* name, std::string* value) {
    char buffer[4096];
    DWORD length = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    if (length == 0 || length >= sizeof(buffer)) return false;
    value->assign(buffer, length);
    return true;
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
    mSockets.Close();
    SysFreeString(mListenInfo);
    mListenInfo = nullptr;
    // A thread that was ended by force never gave its lock back.
    releaseModuleLock();
}

void EventListenerThread::releaseModuleLock() {
    if (mHoldsModuleLock.exchange(false)) ModuleLockDecrement();
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
        KV_LOG_CAUGHT("EventListenerThread::Start: Unknown exception occurred");
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

void EventListenerThread::sendWakeUps() {
    // The accept loop blocks in its wait: a connection to each of our own sockets makes it look at
    // the shutdown event again. Wildcard addresses are reached through loopback.
    for (int i = 0; i < mSockets.Count(); ++i) {
        sockaddr_storage address = {};
        int length = 0;
        if (!mSockets.WakeUpAddress(i, &address, &length)) continue;
        UniqueSocket s(socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP));
        if (!s) continue;
        if (connect(s.get(), reinterpret_cast<sockaddr*>(&address), length) == 0)
            send(s.get(), kWakeUpMessage, kWakeUpLength, 0);
        shutdown(s.get(), SD_BOTH);
    }
}

BOOL EventListenerThread::Stop(DWORD timeoutMs, LONG mode) {
    KV_TRACE_SCOPE("EventListenerThread::Stop");
    BOOL result = FALSE;
    try {
        // The acknowledgement is armed before the shutdown is signalled: an accept loop that finds
        // the shutdown before our wake-up arrives acknowledges it itself.
        ShutdownAck::Event ack = gShutdownAck.Arm();
        if (mShutdownEvent) SetEvent(mShutdownEvent);
        sendWakeUps();
        if (!ShutdownAck::Wait(ack, kAckWaitMs))
            KVLOG(5, "EventListenerThread::Stop: the wake-up was not acknowledged within %lu ms", (unsigned long)kAckWaitMs);
        // Whatever still waits -- the accept loop, connections still receiving -- ends now.
        ConnectionService& service = ConnectionService::Instance();
        service.RaiseStop(mRun);
        result = WorkerThread::Stop(timeoutMs, mode);
        service.Close(mRun);
    } catch (...) {
        KV_LOG_CAUGHT("EventListenerThread::Stop Unknown exception occurred");
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
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListenerKey, 0, KEY_READ | KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return nullptr;
    // Grow by a fixed step until the list fits; the size the registry reports is not trusted.
    DWORD size = 1;
    char* list = static_cast<char*>(malloc(size));
    LONG rc = ERROR_OUTOFMEMORY;
    while (list) {
        DWORD got = size;
        rc = QueryStringValue(key.get(), kPortsValue, list, &got);
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
    return list;
}

bool EventListenerThread::selectAPort(const char* portList) {
    KV_TRACE_SCOPE("EventListenerThread::selectAPort");
    bool result = false;
    try {
        if (portList) {
            KVLOG(5, "EventListenerThread::selectAPort: Ports to choose from %s", portList);
            // Entries are separated by commas; empty entries (runs of commas) are skipped.
            for (const std::string& entry : ListElements(portList)) {
                result = createSocketArray(entry.c_str(), &mSocketCount) && !IsEmpty(mListenInfo);
                if (result) break;
            }
        }
        if (!result) {
            if (createSocketArray(kFallbackPort, &mSocketCount))
                result = !IsEmpty(mListenInfo);
            else
                KVLOG(5, "EventListenerThread::selectAPort: createSocketArray failed");
        }
    } catch (...) {
        KV_LOG_CAUGHT("EventListenerThread::selectAPort: Unknown exception occurred");
        result = false;
    }
    KVLOG_EXIT(5, "EventListenerThread::selectAPort", result ? 1 : 0);
    return result;
}

std::vector<std::string> EventListenerThread::listenHosts() const {
    std::string listen;
    if (Variable(kListenVariable, &listen)) {
        std::vector<std::string> hosts = ListElements(listen);
        if (!hosts.empty()) return hosts;
    }
    return std::vector<std::string>(1, mHostName);
}

bool EventListenerThread::createSocketArray(const char* port, LONG* socketCount) {
    KV_TRACE_SCOPE("EventListenerThread::createSocketArray");
    bool result = false;
    try {
        std::string bound;
        // An entry that is no port number fails like one the lookup rejects.
        if (!IsPortNumber(port)) {
            mSockets.Close();
            KVLOG(5, "EventListenerThread::createSocketArray: Failed to getaddrinfo");
        } else if (mSockets.Open(listenHosts(), port, &bound)) {
            // The port text handed out is the port the sockets are really bound to.
            BSTR info = ThrowIfNull(AllocBstrFromAnsi(bound.c_str()));
            SysFreeString(mListenInfo);
            mListenInfo = info;
            result = true;
        } else if (mSockets.LookupFailed()) {
            KVLOG(5, "EventListenerThread::createSocketArray: Failed to getaddrinfo");
        }
        *socketCount = mSockets.Count();
    } catch (...) {
        KV_LOG_CAUGHT("EventListenerThread::createSocketArray: Unknown exception");
        // Sockets this attempt opened are not left behind.
        mSockets.Close();
        *socketCount = 0;
        result = false;
    }
    KVLOG_EXIT(5, "EventListenerThread::createSocketArray", result ? 1 : 0);
    return result;
}

LONG EventListenerThread::setListenPort() {
    KV_TRACE_SCOPE("EventListenerThread::setListenPort");
    LONG result = -1;
    try {
        mSettings = ListenerSettings::Read();
        std::unique_ptr<char, decltype(&free)> portList(nullptr, &free);
        std::string overridden;
        if (Variable(kPortsVariable, &overridden)) {
            KVLOG(3, "EventListenerThread::setListenPort: the host chose the ports %s (%s) instead of the registry's",
                  overridden.c_str(), kPortsVariable);
            portList.reset(static_cast<char*>(ThrowIfNull(malloc(overridden.size() + 1))));
            memcpy(portList.get(), overridden.c_str(), overridden.size() + 1);
        } else {
            portList.reset(getPortListFromRegistry());
        }
        bool selected = selectAPort(portList.get());
        portList.reset();
        if (!selected || IsEmpty(mListenInfo)) {
            KVLOG(5, "EventListenerThread::setListenPort: Failed to select any port to listen on");
            mStarted = false;
            SetEvent(mStartupEvent);
        } else {
            // Connections may arrive as soon as Start has returned: the service takes them from now.
            mRun = ConnectionService::Instance().Open(mSettings);
            if (!mRun) throw HResultError{E_OUTOFMEMORY};
            SOCKET stopSocket = mRun->stop ? mRun->stop->WaitSocket() : INVALID_SOCKET;
            result = 0;
            SetEvent(mStartupEvent);
            // Nothing will be accepted any more when the loop fails: the listener must not read as started.
            if (!AcceptLoop(mSockets, mShutdownEvent, stopSocket).Run()) mStarted = false;
        }
    } catch (...) {
        KV_LOG_CAUGHT("EventListenerThread::setListenPort: Unknown exception");
        mStarted = false;
        SetEvent(mStartupEvent);
        result = -1;
    }
    KVLOG_EXIT(5, "EventListenerThread::setListenPort", result);
    return result;
}
