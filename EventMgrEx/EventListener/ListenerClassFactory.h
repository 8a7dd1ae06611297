// ListenerClassFactory.h -- CListenerClassFactory, the class object that hands every client the one Listener of the process.
#pragma once

#include <windows.h>
#include <objbase.h>

// A singleton factory: the first successful CreateInstance makes the process's one CListener,
// every later one hands out that same object, and a failed creation is remembered and
// returned again without a second attempt. The factory keeps its reference to the object for
// its whole life, so the object outlives its clients until the module lets the factory go.
//
// Reference counts move the module lock on the 1 <-> 2 transitions: the module holds the first
// reference, so the module is locked exactly while some client holds the factory.
class CListenerClassFactory final : public IClassFactory {
public:
    // A new factory with one reference (the module's).
    static HRESULT Create(IClassFactory** factory);

    // IUnknown: IUnknown and IClassFactory.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IClassFactory. Aggregation is refused with CLASS_E_NOAGGREGATION before anything is made.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    // TRUE takes a module lock, FALSE gives one back.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    CListenerClassFactory();
    ~CListenerClassFactory();
    CListenerClassFactory(const CListenerClassFactory&) = delete;
    CListenerClassFactory& operator=(const CListenerClassFactory&) = delete;

    // Makes the one object under mCreateLock unless it exists or creation failed before.
    void CreateObjectOnce();

    CRITICAL_SECTION mRefLock;
    LONG mRefCount;
    CRITICAL_SECTION mCreateLock;
    HRESULT mCreateResult;  // guarded by mCreateLock
    IUnknown* mObject;      // guarded by mCreateLock; set once, released by the destructor
};
