// ModuleEntry.cpp -- the entry points of the Redis event manager module (KVEvRedis).
#include "RedisEventManager.h"

#define KV_MODULE_EXPORT __attribute__((visibility("default")))

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return CRedisEventManager::Module().GetClassObject(clsid, iid, object);
}

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return CRedisEventManager::Module().CanUnloadNow(); }

// Registering makes this module the event manager, in place of the one registered before.
extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() { return CRedisEventManager::Module().RegisterServer(); }

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() { return CRedisEventManager::Module().UnregisterServer(); }
