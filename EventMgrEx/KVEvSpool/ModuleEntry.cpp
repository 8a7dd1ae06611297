// ModuleEntry.cpp -- the entry points of the spool event manager module (KVEvSpool).
#include "SpoolEventManager.h"

#ifdef _WIN32
#define KV_MODULE_EXPORT
#else
#define KV_MODULE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return CSpoolEventManager::Module().GetClassObject(clsid, iid, object);
}

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return CSpoolEventManager::Module().CanUnloadNow(); }

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() { return CSpoolEventManager::Module().RegisterServer(); }

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() { return CSpoolEventManager::Module().UnregisterServer(); }
