// Listener.h -- CListener, the component's COM object: Start and Stop of the listener engine.
#pragma once

#include <vector>

#include "IEventListener.h"
#include "IListenerStatus.h"
#include "ListenerStateLock.h"

class EventListenerThread;

// One object per process (the class object hands out the same one). It owns at most one
// attached EventListenerThread; Start and Stop from any thread are serialised by mStateLock.
class CListener final : public IEventListener, public IListenerStatus {
public:
    // Creates an object with one reference (the one its creator keeps) and its log started.
    static HRESULT CreateInstance(CListener** object);

    // IUnknown. Reference count 1 -> 2 takes a module lock, 2 -> 1 gives it back.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, UINT* argError) override;

    // IEventListener.
    HRESULT STDMETHODCALLTYPE Start(BSTR* listenInfo) override;
    HRESULT STDMETHODCALLTYPE Stop() override;

    // IListenerStatus.
    HRESULT STDMETHODCALLTYPE GetSummary(BSTR* line) override;

    HRESULT FinalConstruct();
    void FinalRelease();

    // At process exit on Windows every other thread has already been ended, wherever it stood:
    // no object is released or stopped then, and only the log the objects opened is closed.
    static void CloseLogAtProcessExit();

private:
    CListener();
    ~CListener();

    bool StartupListener();
    void DiscardListener();
    void ReapDiscarded();

    CRITICAL_SECTION mRefLock;
    LONG mRefCount;
    EventListenerThread* mListener;
    ListenerStateLock mStateLock;
    bool mWinsockStarted;
    // Listeners whose thread could not be ended: kept, never destroyed under their thread.
    std::vector<EventListenerThread*> mDiscarded;
};
