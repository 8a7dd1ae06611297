// HandlerApartment.h -- a handler thread's COM apartment and the event manager made in it, kept from one connection to the next.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "IEventManagerEx.h"
#include "PlatformServices.h"

KV_INTERFACE_ID(IEventManagerEx, IID_IEventManagerEx);

// Belongs to one handler thread: made, used and destroyed there. The thread enters its
// single-threaded apartment at its first delivery and leaves it when it ends, so that the event
// manager's module stays loaded between connections. The event manager is made again when its
// ProgID no longer names the class it was made from (a manager unregistered, another registered
// in its place), when it is older than kReuseMs (its registration changed otherwise, the
// out-of-process switch), and after a Deliver that failed.
class HandlerApartment {
public:
    static const DWORD kReuseMs = 1000;

    HandlerApartment() = default;
    ~HandlerApartment();
    HandlerApartment(const HandlerApartment&) = delete;
    HandlerApartment& operator=(const HandlerApartment&) = delete;

    // Enters the apartment unless this thread is in it already; a failure is tried again next time.
    bool Enter();
    // The event manager for a delivery, or null with the creation's failure in `*result`.
    IEventManagerEx* EventManager(HRESULT* result);
    // Lets the event manager go: the next delivery gets a new one.
    void Forget() { mManager.Clear(); }

private:
    bool mEntered = false;
    CPComPtr<IEventManagerEx> mManager;
    CLSID mClass = {};
    ULONGLONG mMadeAt = 0;
};
