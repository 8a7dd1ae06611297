// activation.h -- finding and creating COM classes through the registry: ProgIDs, in-process servers.
//
// Only in-process servers exist here: a class is created by loading the shared library named by
// HKCR\CLSID\{clsid}\InprocServer32 and asking its DllGetClassObject. There is no marshalling and
// no local or remote server; a request for those alone fails as Windows fails for a class that
// has no such server registered (REGDB_E_CLASSNOTREG). Loaded servers stay loaded.
#pragma once

#include "kvposix/wintypes.h"
#include "kvposix/com.h"

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);

// HKCR\<progId>\CLSID; CO_E_CLASSSTRING when the ProgID is unknown or names no valid class.
KVAPI HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
// CO_E_NOTINITIALIZED on a thread without COM; REGDB_E_CLASSNOTREG for an unregistered class or
// a context this platform has no server for.
KVAPI HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, LPVOID* object);
KVAPI HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID reserved, REFIID iid, LPVOID* object);
