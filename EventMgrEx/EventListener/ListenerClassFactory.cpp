// ListenerClassFactory.cpp -- CListenerClassFactory: one Listener per process, failures remembered, module lock kept.
#include "ListenerClassFactory.h"

#include <new>

#include "HResultError.h"
#include "Listener.h"
#include "Logging.h"
#include "ModuleLock.h"

namespace {

// Holds a critical section for a scope, also when the scope is left by an exception.
class CriticalSectionHold {
public:
    explicit CriticalSectionHold(CRITICAL_SECTION* section) : mSection(section) { EnterCriticalSection(mSection); }
    ~CriticalSectionHold() { LeaveCriticalSection(mSection); }
    CriticalSectionHold(const CriticalSectionHold&) = delete;
    CriticalSectionHold& operator=(const CriticalSectionHold&) = delete;

private:
    CRITICAL_SECTION* mSection;
};

}  // namespace

CListenerClassFactory::CListenerClassFactory() : mRefCount(0), mCreateResult(S_OK), mObject(nullptr) {
    InitializeCriticalSection(&mRefLock);
    InitializeCriticalSection(&mCreateLock);
}

CListenerClassFactory::~CListenerClassFactory() {
    // The one object lives as long as the factory: this is where the module's teardown reaches it.
    if (mObject) mObject->Release();
    DeleteCriticalSection(&mCreateLock);
    DeleteCriticalSection(&mRefLock);
}

HRESULT CListenerClassFactory::Create(IClassFactory** factory) {
    if (!factory) return E_POINTER;
    CListenerClassFactory* created = new (std::nothrow) CListenerClassFactory();
    if (!created) {
        *factory = nullptr;
        return E_OUTOFMEMORY;
    }
    created->mRefCount = 1;
    *factory = created;
    return S_OK;
}

HRESULT CListenerClassFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CListenerClassFactory::AddRef() {
    CriticalSectionHold hold(&mRefLock);
    LONG count = ++mRefCount;
    if (count == 2) ModuleLockIncrement();
    return static_cast<ULONG>(count);
}

ULONG CListenerClassFactory::Release() {
    LONG count;
    {
        CriticalSectionHold hold(&mRefLock);
        count = --mRefCount;
        if (count == 1) ModuleLockDecrement();
    }
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CListenerClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    // Refused before anything is created: an aggregated first request must not leave an
    // object (or a remembered failure) behind.
    if (outer) return CLASS_E_NOAGGREGATION;

    IUnknown* one = nullptr;
    HRESULT result;
    {
        CriticalSectionHold hold(&mCreateLock);
        if (mCreateResult == S_OK && !mObject) CreateObjectOnce();
        result = mCreateResult;
        one = mObject;
    }
    if (FAILED(result)) return result;
    // mObject never changes once set and lives as long as this factory, which the caller holds.
    return one->QueryInterface(iid, object);
}

void CListenerClassFactory::CreateObjectOnce() {
    CListener* listener = nullptr;
    HRESULT hr;
    try {
        hr = CListener::CreateInstance(&listener);
    } catch (const HResultError& error) {
        hr = error.hr;
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    if (SUCCEEDED(hr) && !listener) hr = E_UNEXPECTED;
    if (SUCCEEDED(hr)) {
        IUnknown* unknown = nullptr;
        hr = listener->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
        // The creation reference goes either way: on success `unknown` is the one we keep,
        // on failure this destroys the object.
        listener->Release();
        if (SUCCEEDED(hr)) mObject = unknown;
    }
    if (FAILED(hr)) KVLOG(1, "CListenerClassFactory::CreateInstance: creating the Listener failed (hr: %#x)", (unsigned)hr);
    mCreateResult = SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT CListenerClassFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleLockIncrement();
    else
        ModuleLockDecrement();
    return S_OK;
}
