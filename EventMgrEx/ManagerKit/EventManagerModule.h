// EventManagerModule.h -- an event manager module's entry points, its lock count and its log.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <mutex>

// One per event manager module: the module's entry points forward to it. The module's class is
// registered as "KVLUMEN.EventManagerEx", in place of the event manager registered before.
//
// An event manager lives in the listener's process and logs beside it: its lines go where the
// listener's setting sends them, under the module's own tag. The log opens with the first object
// and stays open (one registry read per process, not per message) until COM asks whether the
// module may unload and nothing of it is alive.
class EventManagerModule {
public:
    // `create` makes one object of the module's class; `releaseCaches`, if any, runs when the
    // module may unload.
    EventManagerModule(const char* logTag, const CLSID& clsid, const char* description,
                       HRESULT (*create)(REFIID iid, void** object), void (*releaseCaches)());

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object);
    // S_OK (after closing the log and releasing the caches) when nothing of the module is alive.
    HRESULT CanUnloadNow();
    HRESULT RegisterServer();
    HRESULT UnregisterServer();

    // Every object of the module, and anything else that must keep it loaded and its log open.
    void ObjectCreated();
    void ObjectDestroyed();

private:
    class ClassFactory : public IClassFactory {
    public:
        explicit ClassFactory(HRESULT (*create)(REFIID, void**)) : mCreate(create) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
        HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
        HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    private:
        HRESULT (*const mCreate)(REFIID, void**);
    };

    const char* const mLogTag;
    const CLSID& mClsid;
    const char* const mDescription;
    void (*const mReleaseCaches)();
    ClassFactory mFactory;
    std::mutex mLock;
    bool mLogStarted = false;
};
