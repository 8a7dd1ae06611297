// EventManagerModule.cpp -- entry points, class object, lock count and log of an event manager module.
#include "EventManagerModule.h"

#include "InprocServer.h"
#include "Logging.h"

namespace {
const char kProgId[] = "KVLUMEN.EventManagerEx";
// The listener's tag names the setting that both follow.
const char kListenerLogSetting[] = "KVLUMEN.EventListener";
}  // namespace

EventManagerModule::EventManagerModule(const char* logTag, const CLSID& clsid, const char* description,
                                       HRESULT (*create)(REFIID, void**), void (*releaseCaches)())
    : mLogTag(logTag), mClsid(clsid), mDescription(description), mReleaseCaches(releaseCaches), mFactory(create) {}

HRESULT EventManagerModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, mClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return mFactory.QueryInterface(iid, object);
}

HRESULT EventManagerModule::RegisterServer() { return RegisterInprocServer(mClsid, kProgId, mDescription); }

HRESULT EventManagerModule::UnregisterServer() { return UnregisterInprocServer(mClsid, kProgId); }

void EventManagerModule::ObjectCreated() {
    std::lock_guard<std::mutex> hold(mLock);
    ++gInprocServerLocks;
    if (!mLogStarted) {
        StartLogging(mLogTag, kListenerLogSetting);
        mLogStarted = true;
    }
}

void EventManagerModule::ObjectDestroyed() { --gInprocServerLocks; }

HRESULT EventManagerModule::CanUnloadNow() {
    // Creation takes the same lock, so no object can appear between the test and the close.
    std::lock_guard<std::mutex> hold(mLock);
    if (gInprocServerLocks.load() != 0) return S_FALSE;
    if (mLogStarted) {
        EndLogging();
        mLogStarted = false;
    }
    if (mReleaseCaches) mReleaseCaches();
    return S_OK;
}

HRESULT EventManagerModule::ClassFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// The class object is static: its count only keeps the module loaded.
ULONG EventManagerModule::ClassFactory::AddRef() { return static_cast<ULONG>(++gInprocServerLocks); }

ULONG EventManagerModule::ClassFactory::Release() { return static_cast<ULONG>(--gInprocServerLocks); }

HRESULT EventManagerModule::ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return mCreate(iid, object);
}

HRESULT EventManagerModule::ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ++gInprocServerLocks;
    else
        --gInprocServerLocks;
    return S_OK;
}
