/* ProxyStub.c -- the proxy/stub of IEventListener: widl's generated tables served through the RPC runtime. */
#include <windows.h>
#include <objbase.h>

/* MIDL-style proxy code refers to the IUnknown proxy helpers of rpcrt4, which mingw-w64's
   headers declare only for C++; declaring them again is harmless where they are declared. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

/* First of all that uses rpcproxy.h: the generated file asks it for the stubless proxy layout. */
#include "EventListener_p.c"

#include "ProxyStub.h"

/* The IID of IEventListener doubles as the proxy/stub class identifier, as MIDL's default. */
extern const IID IID_IEventListener;

/* What a MIDL dlldata.c would hold; written out here because our own entry points call the
   runtime instead of the ones the dlldata macros would define. */
static const ProxyFileInfo* const gProxyFileList[] = {
    (const ProxyFileInfo*)&EventListener_ProxyFileInfo,
    NULL,
};

/* The runtime keeps the factory's reference count in here. */
static CStdPSFactoryBuffer gPSFactoryBuffer;

/* The stub vtables from widl name these two; they bind stub releases to our factory. */
ULONG STDMETHODCALLTYPE CStdStubBuffer_Release(IRpcStubBuffer* This) {
    return NdrCStdStubBuffer_Release(This, (IPSFactoryBuffer*)&gPSFactoryBuffer);
}

ULONG STDMETHODCALLTYPE CStdStubBuffer2_Release(IRpcStubBuffer* This) {
    return NdrCStdStubBuffer2_Release(This, (IPSFactoryBuffer*)&gPSFactoryBuffer);
}

HRESULT ProxyStubGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return NdrDllGetClassObject(clsid, iid, object, (const ProxyFileInfo**)gProxyFileList, &IID_IEventListener,
                                &gPSFactoryBuffer);
}

HRESULT ProxyStubCanUnloadNow(void) { return NdrDllCanUnloadNow(&gPSFactoryBuffer); }

HRESULT ProxyStubRegister(HMODULE module) {
    return NdrDllRegisterProxy(module, (const ProxyFileInfo**)gProxyFileList, &IID_IEventListener);
}

HRESULT ProxyStubUnregister(HMODULE module) {
    return NdrDllUnregisterProxy(module, (const ProxyFileInfo**)gProxyFileList, &IID_IEventListener);
}
