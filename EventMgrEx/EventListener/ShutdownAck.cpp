// ShutdownAck.cpp -- the acknowledgement event slot shared by stops and handlers.
#include "ShutdownAck.h"

#include "NeverDestroyed.h"

namespace {
NeverDestroyed<ShutdownAck> gShutdownAckStorage;
}
ShutdownAck& gShutdownAck = gShutdownAckStorage.get();

ShutdownAck::Event ShutdownAck::Arm() {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Event event;
    if (handle) event = Event(handle, [](void* h) { CloseHandle(h); });
    std::lock_guard<std::mutex> hold(mLock);
    mCurrent = event;
    return event;
}

void ShutdownAck::Signal() {
    Event event;
    {
        std::lock_guard<std::mutex> hold(mLock);
        event = mCurrent;
    }
    if (event) SetEvent(event.get());
}

bool ShutdownAck::Wait(const Event& event, DWORD timeoutMs) {
    return event && WaitForSingleObject(event.get(), timeoutMs) == WAIT_OBJECT_0;
}

void ShutdownAck::Clear() {
    std::lock_guard<std::mutex> hold(mLock);
    mCurrent.reset();
}
