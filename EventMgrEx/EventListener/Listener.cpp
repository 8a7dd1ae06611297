// Listener.cpp -- CListener: the start/stop state machine around the listener engine.
#include "Listener.h"

#include <winsock2.h>

#include <atomic>
#include <new>

#include "ByteText.h"
#include "ConnectionService.h"
#include "EventListenerThread.h"
#include "ListenerCounters.h"
#include "ListenerDispatch.h"
#include "Logging.h"
#include "ModuleLock.h"

namespace {
const char kLogTag[] = "KVLUMEN.EventListener";
const DWORD kStopTimeoutMs = 5000;
// Objects whose log reference is still open (between FinalConstruct and FinalRelease).
std::atomic<LONG> gOpenLogs{0};
}  // namespace

CListener::CListener() : mRefCount(0), mListener(nullptr), mWinsockStarted(false) {
    InitializeCriticalSection(&mRefLock);
}

CListener::~CListener() { DeleteCriticalSection(&mRefLock); }

HRESULT CListener::CreateInstance(CListener** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    CListener* created = new (std::nothrow) CListener();
    if (!created) return E_OUTOFMEMORY;
    created->mRefCount = 1;
    HRESULT hr = created->FinalConstruct();
    if (FAILED(hr)) {
        created->Release();
        return hr;
    }
    *object = created;
    return S_OK;
}

HRESULT CListener::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IEventListener)) {
        *object = static_cast<IEventListener*>(this);
        AddRef();
        return S_OK;
    }
    if (IsEqualIID(iid, IID_IListenerStatus)) {
        *object = static_cast<IListenerStatus*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CListener::GetSummary(BSTR* line) {
    if (!line) return E_POINTER;
    *line = nullptr;
    try {
        using Outcome = ListenerCounters::Outcome;
        ListenerCounters::Snapshot counts = ListenerCounters::Instance().Take();
        auto count = [&](Outcome outcome) { return std::to_string(counts.outcomes[static_cast<size_t>(outcome)]); };
        ListenerCounters::Health health = ListenerCounters::Instance().TakeHealth();
        ConnectionService& connections = ConnectionService::Instance();
        std::string text = count(Outcome::Delivered) + " delivered, " +
                           std::to_string(counts.outcomes[static_cast<size_t>(Outcome::DeliveryFailed)] +
                                          counts.outcomes[static_cast<size_t>(Outcome::ManagerNotCreated)] +
                                          counts.outcomes[static_cast<size_t>(Outcome::NotDelivered)]) +
                           " failed, " + count(Outcome::Refused) + " refused, " + count(Outcome::TimedOut) +
                           " timed out; " + std::to_string(connections.Connections()) + " connections open; " +
                           (!health.anyDelivery       ? "no event yet"
                            : health.lastSucceeded    ? "deliveries succeed"
                                                      : "the last " + std::to_string(health.failuresSinceSuccess) +
                                                            " deliveries failed");
        *line = AllocBstrFromBytes(text.data(), text.size());
        return *line ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
        KV_LOG_CAUGHT("CListener::GetSummary: Exception occurred");
        return E_FAIL;
    }
}

ULONG CListener::AddRef() {
    EnterCriticalSection(&mRefLock);
    ULONG count = static_cast<ULONG>(++mRefCount);
    if (count == 2) ModuleLockIncrement();
    LeaveCriticalSection(&mRefLock);
    return count;
}

ULONG CListener::Release() {
    EnterCriticalSection(&mRefLock);
    LONG count = --mRefCount;
    if (count == 1) ModuleLockDecrement();
    LeaveCriticalSection(&mRefLock);
    if (count == 0) {
        FinalRelease();
        delete this;
    }
    return static_cast<ULONG>(count);
}

// IDispatch comes from the type library (see ListenerDispatch for what POSIX answers).
HRESULT CListener::GetTypeInfoCount(UINT* count) { return ListenerDispatch::GetTypeInfoCount(count); }

HRESULT CListener::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    return ListenerDispatch::GetTypeInfo(index, lcid, info);
}

HRESULT CListener::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
    return ListenerDispatch::GetIDsOfNames(iid, names, count, lcid, ids);
}

HRESULT CListener::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                          EXCEPINFO* exception, UINT* argError) {
    return ListenerDispatch::Invoke(static_cast<IEventListener*>(this), id, iid, lcid, flags, params, result, exception,
                                    argError);
}

HRESULT CListener::Start(BSTR* listenInfo) {
    KV_TRACE_SCOPE("CListener::Start");
    HRESULT hr = S_OK;
    if (!listenInfo) {
        hr = E_POINTER;
        KVLOG_EXIT(1, "CListener::Start", hr);
        return hr;
    }
    ListenerState state = mStateLock.WaitAndLock();
    try {
        ReapDiscarded();
        // A listener whose accept loop ended by itself (its wait failed) listens no more.
        if (state == Started && mListener && !mListener->IsRunning()) {
            mStateLock.SetState(Stopped);
            state = Stopped;
        }
        if (state != Started) {
            mStateLock.SetState(Starting);
            WSADATA data;
            if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
                KVLOG(5, "EventListenerThread::EventListenerThread: WSAStartup Failed");
                mStateLock.SetState(Stopped);
                hr = E_FAIL;
            } else {
                mWinsockStarted = true;
                if (!StartupListener()) {
                    KVLOG(5, "EventListenerThread::EventListenerThread: Failed to startup the listener");
                    mStateLock.SetState(Stopped);
                    hr = E_FAIL;
                } else {
                    mStateLock.SetState(Started);
                }
            }
        }
        if (SUCCEEDED(hr) && mListener && mStateLock.GetState() == Started) *listenInfo = mListener->GetPort();
    } catch (...) {
        KV_LOG_CAUGHT("CListener::Start:: Listener startup threw an exception");
        hr = E_FAIL;
        // Never leave a half-way state behind: every later call would wait for it forever.
        if (mStateLock.GetState() == Starting) mStateLock.SetState(mListener && mListener->IsRunning() ? Started : Stopped);
    }
    mStateLock.Unlock();
    if (FAILED(hr)) {
        KVLOG_EXIT(1, "CListener::Start", hr);
    } else {
        KVLOG_EXIT(5, "CListener::Start", hr);
    }
    return hr;
}

bool CListener::StartupListener() {
    KV_TRACE_SCOPE("CListener::StartupListener");
    bool result = false;
    // Called only while not started: a listener still attached is left from a failed start or
    // from a stop that could not end its thread, and does not listen. A new one replaces it.
    if (mListener) DiscardListener();
    try {
        mListener = new (std::nothrow) EventListenerThread();
        if (mListener && mListener->GetStatus()) result = mListener->Start() == 0;
    } catch (...) {
        KV_LOG_CAUGHT("CListener::StartupListener: Exception thrown while trying to start Listener thread");
        result = false;
    }
    KVLOG_EXIT(5, "CListener::StartupListener", result ? 1 : 0);
    return result;
}

void CListener::DiscardListener() {
    if (mListener->IsRunning())
        mDiscarded.push_back(mListener);
    else
        delete mListener;
    mListener = nullptr;
}

void CListener::ReapDiscarded() {
    for (size_t i = 0; i < mDiscarded.size();) {
        if (mDiscarded[i]->IsRunning()) {
            ++i;
        } else {
            delete mDiscarded[i];
            mDiscarded.erase(mDiscarded.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

HRESULT CListener::Stop() {
    KV_TRACE_SCOPE("CListener::Stop");
    HRESULT hr = S_OK;
    ListenerState state = mStateLock.WaitAndLock();
    try {
        if (state == Started && mListener) {
            mStateLock.SetState(Stopping);
            mListener->Stop(kStopTimeoutMs, 0);
            if (mListener->IsRunning()) {
                // Nothing could end it (POSIX cannot end a running thread by force): the object
                // stays with its thread, and the caller must not hear that all went well.
                KVLOG(1, "CListener::Stop: the listener thread did not end within %lu ms and was left running",
                      (unsigned long)kStopTimeoutMs);
                hr = E_FAIL;
            }
            // A thread that still reads as active (running, or terminated) keeps its object.
            if (mListener->ExitCode() != WorkerThread::kStillActive) {
                delete mListener;
                mListener = nullptr;
            }
            mStateLock.SetState(Stopped);
        }
        ReapDiscarded();
    } catch (...) {
        hr = E_FAIL;
        if (mStateLock.GetState() == Stopping) mStateLock.SetState(mListener && mListener->IsRunning() ? Started : Stopped);
    }
    mStateLock.Unlock();
    if (FAILED(hr)) {
        KVLOG_EXIT(1, "CListener::Stop", hr);
    } else {
        KVLOG_EXIT(5, "CListener::Stop", hr);
    }
    return hr;
}

HRESULT CListener::FinalConstruct() {
    StartLogging(kLogTag);
    gOpenLogs.fetch_add(1);
    KVLOG(3, "Entering FinalConstruct of EVENT LISTENER");
    mListener = nullptr;
    mWinsockStarted = false;
    return S_OK;
}

void CListener::FinalRelease() {
    KVLOG(3, "Entering FinalRelease of EVENT LISTENER");
    try {
        // A listener still running is stopped first; one whose thread cannot be ended is left
        // alone rather than destroyed under it.
        if (mListener && mListener->IsRunning()) mListener->Stop(kStopTimeoutMs, 0);
        if (mListener) DiscardListener();
        ReapDiscarded();
        if (!mDiscarded.empty())
            KVLOG(1, "CListener::FinalRelease: %d listener thread(s) still running, left in place", (int)mDiscarded.size());
        if (mWinsockStarted) {
            WSACleanup();
            mWinsockStarted = false;
        }
    } catch (...) {
        KV_LOG_CAUGHT("Exception occurred in FinalRelease of EVENT LISTENER");
    }
    gOpenLogs.fetch_sub(1);
    EndLogging();
}

void CListener::CloseLogAtProcessExit() {
    for (LONG open = gOpenLogs.exchange(0); open > 0; --open) EndLoggingAtExit();
}
