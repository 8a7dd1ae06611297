// ListenerModule.cpp -- the module's state and the work behind its entry points: class objects, unloading, self-registration.
#include "ListenerModule.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "ConnectionService.h"
#include "IEventListener.h"
#include "Listener.h"
#include "ListenerClassFactory.h"
#include "ListenerDispatch.h"
#include "ListenerTypeLib.h"
#include "Logging.h"
#include "ModuleLock.h"
#include "ModuleResources.h"
#include "ProxyStub.h"
#include "RegistrarScript.h"
#include "RegistrationScripts.h"

namespace {

// Written wherever the AppID appears, with the lower-case letters it was issued with.
const char kAppIdText[] = "{2F30C806-D59B-48a2-8A09-141FB66CA0E5}";

#ifdef _WIN32
const DWORD kPathCapacity = MAX_PATH;
#else
// POSIX paths are not limited to 260 characters; a deep build or install folder must still register.
const DWORD kPathCapacity = 4096;
#endif

// One entry per creatable class: its registration script and how to make its class object.
// The cached class object holds the module's one reference.
struct ClassObjectEntry {
    const CLSID* clsid;
    UINT scriptId;
    HRESULT (*createClassObject)(IClassFactory** factory);
    std::atomic<IClassFactory*> cached;
};

ClassObjectEntry gClassObjects[] = {
    {&CLSID_Listener, IDR_LISTENER_SCRIPT, &CListenerClassFactory::Create, {nullptr}},
};

HMODULE gModule = nullptr;
CRITICAL_SECTION gModuleSection;  // guards the lazy creation of class objects
bool gInitialized = false;

#ifndef _WIN32
const DWORD kExitHandlerWaitMs = 5000;

// Releases what the module holds while everything it uses still exists; see RegisterExitTeardown.
// Unlike Windows, exit() here leaves other threads running while static objects are destroyed:
// handlers still waiting for request bytes end at once, those delivering get a bounded moment.
void TeardownAtExit() {
    ConnectionService& connections = ConnectionService::Instance();
    connections.EndAtExit(kExitHandlerWaitMs);
    ListenerModule::Terminate();
    // The handler threads let their class objects go while those still have everything they use.
    connections.EndThreads(kExitHandlerWaitMs);
}

// At exit() a shared object's destructor functions run only after its static objects are gone,
// and the Listener's final release still needs some of them (the log). A handler registered after
// they were built runs before they are destroyed -- at exit and at dlclose alike -- so the
// module's teardown is registered once the first class object exists.
void RegisterExitTeardown() {
    static bool registered = false;  // only under gModuleSection
    if (!registered) registered = std::atexit(&TeardownAtExit) == 0;
}
#endif

// The module file's full path, or why it could not be had.
HRESULT GetModulePath(std::string* path) {
    std::string buffer(kPathCapacity, '\0');
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetModuleFileNameA(gModule, &buffer[0], kPathCapacity);
    if (length == 0) {
        DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    // A path that fills the whole buffer may have been cut short.
    if (length >= kPathCapacity) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(length);
    *path = buffer;
    return S_OK;
}

// The path as it goes inside the scripts' quoted strings: every single quote doubled.
std::string DoubleQuotes(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

HRESULT RunScript(const std::string& modulePath, UINT id, bool registering) {
    RegistrarScript script;
    script.AddReplacement("APPID", kAppIdText);
    script.AddReplacement("Module", DoubleQuotes(modulePath));
    script.AddReplacement("Module_Raw", modulePath);
    const char* text = nullptr;
    size_t length = 0;
    HRESULT hr = FindRegistrationScript(gModule, id, &text, &length);
    if (SUCCEEDED(hr)) hr = registering ? script.Register(text, length) : script.Unregister(text, length);
    if (FAILED(hr)) {
        KVLOG(3, "ListenerModule::RunScript: script %u %s failed (hr: %#x) %s", id,
              registering ? "registration" : "unregistration", (unsigned)hr, script.LastError().c_str());
    }
    return hr;
}

}  // namespace

bool ListenerModule::Initialize(HMODULE module) {
    gModule = module;
    if (!gInitialized) gInitialized = InitializeCriticalSectionAndSpinCount(&gModuleSection, 0) != FALSE;
    return gInitialized;
}

void ListenerModule::Terminate() {
    for (ClassObjectEntry& entry : gClassObjects) {
        if (IClassFactory* factory = entry.cached.exchange(nullptr)) factory->Release();
    }
    ListenerDispatch::ReleaseCache();
}

void ListenerModule::Finalize() {
    Terminate();
    if (gInitialized) {
        gInitialized = false;
        DeleteCriticalSection(&gModuleSection);
    }
}

void ListenerModule::ProcessExiting() { CListener::CloseLogAtProcessExit(); }

HRESULT ListenerModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    // Checked before anything else: the proxy/stub runtime writes through the pointer.
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!gInitialized) return E_UNEXPECTED;
    if (ProxyStubGetClassObject(clsid, iid, object) == S_OK) return S_OK;
    *object = nullptr;

    for (ClassObjectEntry& entry : gClassObjects) {
        if (!IsEqualCLSID(clsid, *entry.clsid)) continue;
        IClassFactory* factory = entry.cached.load(std::memory_order_acquire);
        if (!factory) {
            HRESULT hr = S_OK;
            EnterCriticalSection(&gModuleSection);
            factory = entry.cached.load(std::memory_order_acquire);
            if (!factory) {
                hr = entry.createClassObject(&factory);
                if (SUCCEEDED(hr)) {
                    entry.cached.store(factory, std::memory_order_release);
#ifndef _WIN32
                    RegisterExitTeardown();
#endif
                }
            }
            LeaveCriticalSection(&gModuleSection);
            if (FAILED(hr)) return hr;
        }
        HRESULT hr = factory->QueryInterface(iid, object);
        if (SUCCEEDED(hr) && !*object) hr = CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ListenerModule::CanUnloadNow() {
    HRESULT hr = ProxyStubCanUnloadNow();
    if (hr != S_OK) return hr;
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT ListenerModule::RegisterServer() {
    try {
        std::string path;
        HRESULT hr = GetModulePath(&path);
        if (FAILED(hr)) return hr;
        hr = RunScript(path, IDR_APPID_SCRIPT, true);
        if (FAILED(hr)) return hr;
        for (const ClassObjectEntry& entry : gClassObjects) {
            hr = RunScript(path, entry.scriptId, true);
            if (FAILED(hr)) return hr;
            // No component categories are declared, so there are none to register.
        }
        hr = ListenerTypeLib::Register(path.c_str());
        if (FAILED(hr)) return hr;
        return ProxyStubRegister(gModule);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ListenerModule::UnregisterServer() {
    try {
        std::string path;
        HRESULT hr = GetModulePath(&path);
        if (FAILED(hr)) return hr;
        for (const ClassObjectEntry& entry : gClassObjects) {
            // No component categories to unregister first.
            hr = RunScript(path, entry.scriptId, false);
            if (FAILED(hr)) return hr;
        }
        hr = ListenerTypeLib::Unregister(path.c_str());
        if (FAILED(hr)) return hr;
        hr = RunScript(path, IDR_APPID_SCRIPT, false);
        if (FAILED(hr)) return hr;
        return ProxyStubUnregister(gModule);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
