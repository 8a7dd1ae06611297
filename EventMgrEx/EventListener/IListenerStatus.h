// IListenerStatus.h -- an optional interface of our own on the Listener object: how it is, in one line, for its host.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// In-process only (it has no proxy/stub): a host that made the listener in its own process asks
// for it with QueryInterface; over a process boundary it answers E_NOINTERFACE.
struct IListenerStatus : public IUnknown {
    // The counts since the start and the connections now, and whether deliveries succeed, e.g.
    // "152 delivered, 0 failed, 3 refused, 1 timed out; 2 connections open; deliveries succeed"
    // (the caller frees it).
    virtual HRESULT STDMETHODCALLTYPE GetSummary(BSTR* line) = 0;
};

// {8D1E4F7A-3C52-4B9E-A6D0-2F91C74E5B18}
inline const IID IID_IListenerStatus = {0x8D1E4F7A, 0x3C52, 0x4B9E, {0xA6, 0xD0, 0x2F, 0x91, 0xC7, 0x4E, 0x5B, 0x18}};
