// EventManagerModule.h -- what an event manager module keeps while its objects live: the module lock and its log.
#pragma once

#include <windows.h>

#include <mutex>

// An event manager lives in the listener's process and logs beside it: its lines go where the
// listener's setting sends them, under the module's own tag. The log opens with the first object
// and stays open (one registry read per process, not per message) until COM asks whether the
// module may unload and nothing of it is alive.
class EventManagerModule {
public:
    // `logTag` opens the module's lines; `releaseCaches`, if any, runs when the module may unload.
    EventManagerModule(const char* logTag, void (*releaseCaches)());

    // Every object of the module: keeps the module loaded and its log open.
    void ObjectCreated();
    void ObjectDestroyed();

    // DllCanUnloadNow: S_OK (after closing the log and releasing the caches) when nothing is live.
    HRESULT CanUnloadNow();

private:
    const char* const mLogTag;
    void (*const mReleaseCaches)();
    std::mutex mLock;
    bool mLogStarted = false;
};
