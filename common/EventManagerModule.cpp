// EventManagerModule.cpp -- module lock and log of an event manager module.
#include "EventManagerModule.h"

#include "InprocServer.h"
#include "Logging.h"

namespace {
// The listener's tag names the setting that both follow.
const char kListenerLogSetting[] = "KVLUMEN.EventListener";
}  // namespace

EventManagerModule::EventManagerModule(const char* logTag, void (*releaseCaches)())
    : mLogTag(logTag), mReleaseCaches(releaseCaches) {}

void EventManagerModule::ObjectCreated() {
    std::lock_guard<std::mutex> hold(mLock);
    ++gInprocServerLocks;
    if (!mLogStarted) {
        StartLogging(mLogTag, kListenerLogSetting);
        mLogStarted = true;
    }
}

void EventManagerModule::ObjectDestroyed() { --gInprocServerLocks; }

HRESULT EventManagerModule::CanUnloadNow() {
    // Creation takes the same lock, so no object can appear between the test and the close.
    std::lock_guard<std::mutex> hold(mLock);
    if (gInprocServerLocks.load() != 0) return S_FALSE;
    if (mLogStarted) {
        EndLogging();
        mLogStarted = false;
    }
    if (mReleaseCaches) mReleaseCaches();
    return S_OK;
}
