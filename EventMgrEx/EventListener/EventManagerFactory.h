// EventManagerFactory.h -- a handler thread's COM apartment, and what it keeps so that each event gets an event manager object of its own cheaply.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "EventManagerSource.h"

KV_INTERFACE_ID(IClassFactory, IID_IClassFactory);

// Belongs to one handler thread: made, used and destroyed there. Every delivery gets a new event
// manager object, released before its connection closes; between deliveries the thread keeps only
// what COM itself would cache -- its single-threaded apartment, the class the ProgID names, that
// class's class object and whether it is made out of process. That is looked up again through the
// creation service (with its logging and its ForceToOutOfProc switch) when the ProgID names
// another class (a manager unregistered, another registered in its place), when it is older than
// kReuseMs (its registration changed otherwise, the out-of-process switch), and after a Deliver
// that failed.
class EventManagerFactory final : public EventManagerSource {
public:
    static const DWORD kReuseMs = 1000;

    EventManagerFactory() = default;
    ~EventManagerFactory() override;
    EventManagerFactory(const EventManagerFactory&) = delete;
    EventManagerFactory& operator=(const EventManagerFactory&) = delete;

    // Enters the apartment unless this thread is in it already; a failure is tried again next time.
    bool Enter() override;
    // A new event manager object in `manager` (emptied first); the creation's result.
    HRESULT Create(CPComPtr<IEventManagerEx>& manager) override;
    // Forgets the class object: the next Create looks the class up again.
    void Forget() override { mClassObject.Clear(); }

private:
    bool mEntered = false;
    CPComPtr<IClassFactory> mClassObject;
    CLSID mClass = {};
    ULONGLONG mLookedUpAt = 0;
};
