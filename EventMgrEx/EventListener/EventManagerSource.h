// EventManagerSource.h -- where a connection handler gets one event manager object per event.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "IEventManagerEx.h"
#include "PlatformServices.h"

KV_INTERFACE_ID(IEventManagerEx, IID_IEventManagerEx);

// The handler asks for an object per event and releases it before its connection closes. COM
// stands behind it (EventManagerFactory); a test or a fuzz target may put its own in its place.
class EventManagerSource {
public:
    virtual ~EventManagerSource() = default;
    // Enters the calling thread's apartment unless it is in it already.
    virtual bool Enter() = 0;
    // A new event manager object in `manager` (emptied first); the creation's result.
    virtual HRESULT Create(CPComPtr<IEventManagerEx>& manager) = 0;
    // A Deliver failed: what was kept to make objects is looked up again for the next one.
    virtual void Forget() = 0;
};
