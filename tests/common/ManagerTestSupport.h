// ManagerTestSupport.h -- what the event manager tests do as the listener does: one object per event, created, given the message, released.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "IEventManagerEx.h"

namespace kvtest {

inline HRESULT DeliverThrough(IClassFactory* factory, const wchar_t* text) {
    IEventManagerEx* manager = nullptr;
    HRESULT hr = factory->CreateInstance(nullptr, IID_IEventManagerEx, reinterpret_cast<void**>(&manager));
    if (FAILED(hr)) return hr;
    BSTR message = SysAllocString(text);
    BSTR response = nullptr;
    hr = manager->Deliver(message, &response);
    SysFreeString(response);
    SysFreeString(message);
    manager->Release();
    return hr;
}

}  // namespace kvtest
