// EventManagerFactory.cpp -- one event manager object per event, its class object kept per thread.
#include "EventManagerFactory.h"

#include "Logging.h"

EventManagerFactory::~EventManagerFactory() {
    mClassObject.Clear();
    if (mEntered) CoUninitialize();
}

bool EventManagerFactory::Enter() {
    if (!mEntered) mEntered = SUCCEEDED(CoInitialize(nullptr));
    return mEntered;
}

HRESULT EventManagerFactory::Create(CPComPtr<IEventManagerEx>& manager) {
    manager.Clear();
    ULONGLONG now = GetTickCount64();
    CLSID named = CLSID_NULL;
    bool resolved = SUCCEEDED(CLSIDFromProgID(KV_EVENT_MANAGER_PROGID, &named));
    if (mClassObject && resolved && IsEqualCLSID(named, mClass) && now - mLookedUpAt < kReuseMs) {
        HRESULT hr = mClassObject->CreateInstance(nullptr, IID_IEventManagerEx, reinterpret_cast<void**>(manager.Slot()));
        if (SUCCEEDED(hr) && manager) return hr;
        // A class object that no longer makes objects is not asked again.
        manager.Clear();
        mClassObject.Clear();
    }
    // Through the creation service, with its logging and its switch.
    mClassObject.Clear();
    HRESULT hr = PlatformServices::CreateInstance(manager, KV_EVENT_MANAGER_PROGID, nullptr);
    if (FAILED(hr)) return hr;
    // What the ProgID named just before; should it have changed meanwhile, the next delivery sees
    // the difference. The class object comes from where the object came from.
    if (resolved) {
        try {
            DWORD context = PlatformServices::CreationContext(KV_EVENT_MANAGER_PROGID);
            if (FAILED(CoGetClassObject(named, context, nullptr, IID_IClassFactory,
                                        reinterpret_cast<void**>(mClassObject.Slot()))))
                mClassObject.Clear();
        } catch (...) {
            mClassObject.Clear();
        }
        mClass = named;
        mLookedUpAt = now;
    }
    return hr;
}
