// IEventListener.h -- the component's interface and identifiers, as clients and the type library see them.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// Dual interface: IDispatch's seven methods, then Start (DISPID 1) and Stop (DISPID 2).
struct IEventListener : public IDispatch {
    // Starts the listener (once per process) and returns the port text it listens on.
    virtual HRESULT STDMETHODCALLTYPE Start(BSTR* listenInfo) = 0;
    // Stops the listener; nothing to stop is success too.
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
};

extern "C" {
extern const IID IID_IEventListener;      // {E6F622A8-7AD1-45DD-AA4A-17D1B8AF41D4}
extern const CLSID CLSID_Listener;        // {9B381916-211D-4356-AB98-88F3AA3275E5}
extern const GUID LIBID_EventListenerLib; // {72CB3778-680C-4616-9EF7-0522E1DCC9F8}
extern const GUID APPID_EventListener;    // {2F30C806-D59B-48a2-8A09-141FB66CA0E5}
}
