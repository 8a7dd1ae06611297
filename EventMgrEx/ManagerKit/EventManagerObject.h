// EventManagerObject.h -- the COM side of an event manager object: identity, reference count, creation.
#pragma once

#include <new>

#include "EventManagerModule.h"
#include "IEventManagerEx.h"
#include "IEventManagerStatus.h"

// An event manager class derives from EventManagerObject<itself>, implements Deliver, offers
// `static EventManagerModule& Module()` and befriends EventManagerObject<itself> so that its
// constructor can stay private. Live objects keep their module loaded and its log open.
//
// A class that can say how it is declares `static constexpr bool kReportsStatus = true;` and
// overrides GetStatus; only then does QueryInterface offer IEventManagerStatus.
template <class T>
class EventManagerObject : public IEventManagerEx, public IEventManagerStatus {
public:
    static constexpr bool kReportsStatus = false;

    static HRESULT Create(REFIID iid, void** object) {
        T* created = new (std::nothrow) T();
        if (!created) return E_OUTOFMEMORY;
        HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEventManagerEx)) {
            *object = static_cast<IEventManagerEx*>(this);
            AddRef();
            return S_OK;
        }
        if (T::kReportsStatus && IsEqualIID(iid, IID_IEventManagerStatus)) {
            *object = static_cast<IEventManagerStatus*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&mRefCount)); }
    HRESULT STDMETHODCALLTYPE GetStatus(VARIANT_BOOL*, BSTR*, BSTR*) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG count = InterlockedDecrement(&mRefCount);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

protected:
    EventManagerObject() { T::Module().ObjectCreated(); }
    virtual ~EventManagerObject() { T::Module().ObjectDestroyed(); }

private:
    LONG mRefCount = 1;
};
