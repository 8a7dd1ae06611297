// ListenerDispatch.h -- IDispatch for the Listener, served from the registered type information.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

struct IEventListener;

// On Windows the type information of IEventListener is loaded on first use from the registered
// library (LIBID of EventListenerLib, version 1.0) and kept until ReleaseCache, which the module
// calls at its teardown. While the library is not registered every call that needs it fails
// with the lookup's error, and the next call tries again.
//
// The POSIX build has no type information: GetTypeInfoCount answers 0 and the other calls
// E_NOTIMPL, so late-bound callers learn at once that only the vtable is there.
class ListenerDispatch {
public:
    static HRESULT GetTypeInfoCount(UINT* count);
    static HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info);
    static HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
    static HRESULT Invoke(IEventListener* object, DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO* exception, UINT* argError);
    // Lets go of the cached type information.
    static void ReleaseCache();
};
