// RedisEventManager.h -- the Redis event manager: every delivered message becomes one entry of a Redis stream.
#pragma once

#include "EventManagerObject.h"

// {3C2B7E58-9A41-4F0D-8E6A-51D7C0B4A2F3}
extern "C" const CLSID CLSID_RedisEventManager;

// Deliver adds one entry to the stream -- fields "body" (the message's bytes, exactly as the
// spool would store them), "received" (UTC), "listener" (host name and listening port), "bytes"
// and "id" (the event's own, EventId) -- and succeeds once Redis has it (and, with minReplicas,
// that many replicas). A message Redis does not take is kept in the fallback folder and Deliver
// still succeeds; the replay (FallbackReplay) adds it later under the same id, so that it is in
// the stream once whatever happened to the first attempt. Deliver fails only when neither took
// the message. Settings: RedisSettings. The module logs under the tag "KVEvRedis".
//
// The house of the module: RedisSettings (what the registry says) -> RedisPipeline (concurrent
// deliveries as one batch, cool-off) -> StreamWriter (the scripts, redirects, WAIT, trimming) ->
// PrimaryLocator (Sentinel) and RedisConnection (hiredis's protocol code) -> RedisTransport and
// TlsSession (sockets, deadlines, no SIGPIPE). Beside them: FallbackFolder, FallbackReplay,
// ListenerIdentity, EventId, FailureLog.
class CRedisEventManager : public EventManagerObject<CRedisEventManager> {
public:
    static constexpr bool kReportsStatus = true;
    static EventManagerModule& Module();

    HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) override;
    // Ready while Redis answers, or while a fallback folder can take what it does not; the
    // summary names the server (the primary found through Sentinel, TLS) and the files waiting.
    HRESULT STDMETHODCALLTYPE GetStatus(VARIANT_BOOL* ready, BSTR* summary, BSTR* metrics) override;

private:
    friend class EventManagerObject<CRedisEventManager>;
    // Closes the connection once the module may unload.
    static void ReleaseShared();

    CRedisEventManager();
};
