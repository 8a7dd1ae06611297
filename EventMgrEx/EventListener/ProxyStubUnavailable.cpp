// ProxyStubUnavailable.cpp -- the proxy/stub part of the POSIX build, which has none.
//
// Our POSIX layer has no marshalling: every call is direct, so there is no proxy/stub class to
// serve or register. The module says so instead of pretending: its class object is not
// available, and registration writes nothing for it.
#include "ProxyStub.h"

HRESULT ProxyStubGetClassObject(REFCLSID, REFIID, void** object) {
    if (object) *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ProxyStubCanUnloadNow(void) { return S_OK; }

HRESULT ProxyStubRegister(HMODULE) { return S_OK; }

HRESULT ProxyStubUnregister(HMODULE) { return S_OK; }
