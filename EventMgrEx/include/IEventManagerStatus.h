// IEventManagerStatus.h -- an optional interface of our own through which an event manager says how it is.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// The listener asks an event manager object for it with QueryInterface when it reports its health
// and figures; a manager without it still works (it is then only seen through its deliveries).
// Only in-process objects offer it: it has no proxy/stub, so an event manager forced out of
// process answers E_NOINTERFACE.
struct IEventManagerStatus : public IUnknown {
    // `*ready`: VARIANT_TRUE when a Deliver now is expected to store its message.
    // `*summary`: one line for a person, e.g. "spool folder /var/spool/kvlumen: writable, 3 files
    // waiting" (the caller frees it; may be null).
    // `*metrics`: the manager's own figures in the Prometheus text format, version 0.0.4 -- HELP
    // and TYPE lines included, names prefixed "kvlumen_", each line ending in "\n" (the caller
    // frees it; may be null).
    virtual HRESULT STDMETHODCALLTYPE GetStatus(VARIANT_BOOL* ready, BSTR* summary, BSTR* metrics) = 0;
};

// {4F0B8C2E-6D3A-4B71-9E25-C81A7F3D5B60}
inline const IID IID_IEventManagerStatus = {0x4F0B8C2E, 0x6D3A, 0x4B71, {0x9E, 0x25, 0xC8, 0x1A, 0x7F, 0x3D, 0x5B, 0x60}};
