// ModuleEntry.cpp -- the exported entry points of KVEvLsn, and the hooks that run when the module loads and unloads.
#include <windows.h>
#include <objbase.h>

#include "ListenerModule.h"

#ifdef _WIN32
// Exported by name through KVEvLsn.def.
#define KV_ENTRY_POINT STDAPI
#else
#include <dlfcn.h>
// Everything else in the shared object is hidden (-fvisibility=hidden); these four are its interface.
#define KV_ENTRY_POINT extern "C" __attribute__((visibility("default"))) HRESULT
#endif

KV_ENTRY_POINT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    return ListenerModule::GetClassObject(clsid, iid, object);
}

KV_ENTRY_POINT DllCanUnloadNow(void) { return ListenerModule::CanUnloadNow(); }

KV_ENTRY_POINT DllRegisterServer(void) { return ListenerModule::RegisterServer(); }

KV_ENTRY_POINT DllUnregisterServer(void) { return ListenerModule::UnregisterServer(); }

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // The proxy/stub registration needs our handle; without the critical section the class
        // object could be created twice, so the module refuses to load.
        return ListenerModule::Initialize(instance) ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        // Unloaded by FreeLibrary (reserved is null) the listener thread is not running -- it
        // holds a reference to the module while it runs -- and the objects can be released. At
        // process exit the other threads are already gone, perhaps holding our locks.
        if (reserved)
            ListenerModule::ProcessExiting();
        else
            ListenerModule::Finalize();
        break;
    default:
        break;
    }
    return TRUE;
}

#else

namespace {

// The layer's HMODULE is the base address of the shared object that contains an address.
HMODULE OwnModule() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OwnModule), &info) && info.dli_fbase) return static_cast<HMODULE>(info.dli_fbase);
    return nullptr;
}

// dlopen cannot be refused from here; if the critical section could not be set up, every entry
// point that needs it answers E_UNEXPECTED instead.
__attribute__((constructor)) void ModuleLoaded() { ListenerModule::Initialize(OwnModule()); }

// dlclose (FreeLibrary) and process exit: release the class object, which releases the Listener.
__attribute__((destructor)) void ModuleUnloading() { ListenerModule::Finalize(); }

}  // namespace

#endif
