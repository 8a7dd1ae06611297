// ProxyStub.h -- the proxy/stub of IEventListener that the module serves beside its class.
#pragma once

#include <windows.h>
#include <objbase.h>

#ifdef __cplusplus
extern "C" {
#endif

// The proxy/stub class object when `clsid` is its class (the IID of IEventListener);
// CLASS_E_CLASSNOTAVAILABLE otherwise.
HRESULT ProxyStubGetClassObject(REFCLSID clsid, REFIID iid, void** object);
// S_OK while no proxy or stub of this module is alive.
HRESULT ProxyStubCanUnloadNow(void);
// Writes and removes the registry entries of the proxy/stub class and its interface.
HRESULT ProxyStubRegister(HMODULE module);
HRESULT ProxyStubUnregister(HMODULE module);

#ifdef __cplusplus
}
#endif
