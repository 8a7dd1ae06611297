// ModuleEntry.cpp -- the entry points of the spool event manager module (KVEvSpool).
#include "InprocServer.h"
#include "SpoolEventManager.h"

#ifdef _WIN32
#define KV_MODULE_EXPORT
#else
#define KV_MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace {
const char kProgId[] = "KVLUMEN.EventManagerEx";
const char kDescription[] = "KVLumen spool event manager";
SimpleClassFactory<CSpoolEventManager> gFactory;
}  // namespace

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_SpoolEventManager)) return CLASS_E_CLASSNOTAVAILABLE;
    return gFactory.QueryInterface(iid, object);
}

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return gSpoolModule.CanUnloadNow(); }

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    return RegisterInprocServer(CLSID_SpoolEventManager, kProgId, kDescription);
}

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return UnregisterInprocServer(CLSID_SpoolEventManager, kProgId);
}
