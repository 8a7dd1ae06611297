// InprocServer.h -- the plumbing of a small in-process COM server: class factory, self-registration.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <new>
#include <string>

// Full path of the module (DLL or shared library) that contains this code.
std::string OwnModulePath();

// Writes HKCR\<progId>\CLSID, HKCR\CLSID\{clsid} with its description, ProgID and
// InprocServer32 (this module's path, threading model "Both"). Returns an HRESULT.
HRESULT RegisterInprocServer(REFCLSID clsid, const char* progId, const char* description);
// Removes what RegisterInprocServer wrote. The ProgID key is removed only while it still
// names this class, so that unregistering one implementation leaves another's registration.
HRESULT UnregisterInprocServer(REFCLSID clsid, const char* progId);

// Live objects and server locks of one module: DllCanUnloadNow answers S_OK at zero.
extern std::atomic<LONG> gInprocServerLocks;

// A class factory for T, which must offer `static HRESULT Create(REFIID, void**)`.
template <class T>
class SimpleClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object: its count only keeps the module loaded.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++gInprocServerLocks); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--gInprocServerLocks); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return T::Create(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++gInprocServerLocks;
        else
            --gInprocServerLocks;
        return S_OK;
    }
};

// The IUnknown side of a COM object that offers one interface besides IUnknown; it counts among
// the module's live objects while it exists. The object's class derives from it, implements the
// interface's own methods and is created with a count of one.
template <class Interface>
class SingleInterfaceObject : public Interface {
public:
    explicit SingleInterfaceObject(REFIID interfaceId) : mInterfaceId(interfaceId) { ++gInprocServerLocks; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, mInterfaceId)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++mRefs); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG count = --mRefs;
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

protected:
    virtual ~SingleInterfaceObject() { --gInprocServerLocks; }

private:
    const IID& mInterfaceId;
    std::atomic<LONG> mRefs{1};
};
