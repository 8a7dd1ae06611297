// ListenerModule.h -- the module's state and the work behind its entry points: class objects, unloading, self-registration.
#pragma once

#include <windows.h>
#include <objbase.h>

// Module-wide state is plain data, set up by Initialize when the module loads and taken down by
// Terminate when it goes; nothing of the listener or the log exists before a client asks.
class ListenerModule {
public:
    // Records the module's handle and sets up its critical section. False when the section
    // cannot be set up: the module must not load then.
    static bool Initialize(HMODULE module);
    // Releases the class objects (the Listener goes with its class object) and the cached type
    // information. Safe to call more than once.
    static void Terminate();
    // Terminate, then deletes the critical section: the last thing before the module goes.
    static void Finalize();
    // Windows' process exit (DLL_PROCESS_DETACH with a non-null reserved argument): the system
    // has ended every other thread wherever it stood, so nothing is stopped, released or waited
    // for; only the log is closed.
    static void ProcessExiting();

    // DllGetClassObject: the proxy/stub class first, then the class-object table.
    static HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object);
    // DllCanUnloadNow: S_OK when no proxy/stub and no module lock is left.
    static HRESULT CanUnloadNow();
    // DllRegisterServer / DllUnregisterServer: the steps in order, stopping at the first failure.
    static HRESULT RegisterServer();
    static HRESULT UnregisterServer();
};
