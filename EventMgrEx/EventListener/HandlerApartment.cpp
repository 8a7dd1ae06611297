// HandlerApartment.cpp -- a handler thread's COM apartment and the event manager made in it, kept from one connection to the next.
#include "HandlerApartment.h"

HandlerApartment::~HandlerApartment() {
    mManager.Clear();
    if (mEntered) CoUninitialize();
}

bool HandlerApartment::Enter() {
    if (!mEntered) mEntered = SUCCEEDED(CoInitialize(nullptr));
    return mEntered;
}

IEventManagerEx* HandlerApartment::EventManager(HRESULT* result) {
    *result = S_OK;
    ULONGLONG now = GetTickCount64();
    CLSID named = CLSID_NULL;
    bool resolved = SUCCEEDED(CLSIDFromProgID(KV_EVENT_MANAGER_PROGID, &named));
    if (mManager && resolved && IsEqualCLSID(named, mClass) && now - mMadeAt < kReuseMs) return mManager.Get();
    // Made through the creation service every time, with its logging and its switch.
    *result = PlatformServices::CreateInstance(mManager, KV_EVENT_MANAGER_PROGID, nullptr);
    if (FAILED(*result)) return nullptr;
    // What the ProgID named just before; should it have changed meanwhile, the next delivery sees
    // the difference.
    mClass = resolved ? named : CLSID_NULL;
    mMadeAt = now;
    return mManager.Get();
}
