// IEventManagerEx.h -- the event manager's delivery interface, as the listener calls it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// {7432569A-E333-443E-8101-0BFC066D5835}; derives directly from IUnknown.
struct IEventManagerEx : public IUnknown {
    // Takes one message (the text ends at its first NUL) and may return a response string,
    // which the caller frees. Only success or failure of the call is looked at.
    virtual HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) = 0;
};

inline const IID IID_IEventManagerEx = {0x7432569A, 0xE333, 0x443E, {0x81, 0x01, 0x0B, 0xFC, 0x06, 0x6D, 0x58, 0x35}};

// The ProgID under which the event manager is registered.
#define KV_EVENT_MANAGER_PROGID L"KVLUMEN.EventManagerEx"
