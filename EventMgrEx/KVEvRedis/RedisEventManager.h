// RedisEventManager.h -- the Redis event manager: every delivered message becomes one entry of a Redis stream.
#pragma once

#include "EventManagerObject.h"

// {3C2B7E58-9A41-4F0D-8E6A-51D7C0B4A2F3}
extern "C" const CLSID CLSID_RedisEventManager;

// Deliver adds one entry to the stream with XADD -- fields "body" (the message's bytes, exactly
// as the spool would store them), "received" (UTC), "listener" (host name and listening port) and
// "bytes" -- and succeeds once Redis has acknowledged it. Settings come from
// HKLM\SOFTWARE\Korvane\KVLumen\EventManager\Redis (address, stream, maxLength, timeoutMs,
// fallbackSpool), read again at most once a second.
//
// The process keeps one connection, shared by concurrent deliveries: whoever finds it free sends
// what is waiting as one pipeline, so many deliveries share one round trip (and one fsync of an
// append-only Redis). A message Redis does not take is stored in the fallback spool folder and
// Deliver still succeeds; a replay thread adds those files to the stream oldest first once Redis
// answers, and removes them. A message sent on a connection that broke before its answer may or
// may not be in the stream: the replay looks for it first, so that it is not added twice. The
// module logs under the tag "KVEvRedis".
class CRedisEventManager : public EventManagerObject<CRedisEventManager> {
public:
    static EventManagerModule& Module();

    HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) override;

private:
    friend class EventManagerObject<CRedisEventManager>;
    class Connection;  // the process's one connection to Redis
    static Connection& SharedConnection();
    // Closes the connection once the module may unload.
    static void ReleaseShared();

    CRedisEventManager() = default;

    static void ScheduleReplay();
    static void ReplayLoop();
    static bool ReplayOnce();
};
