// com.h -- COM basics: the core interfaces, apartments, GUIDs, BSTRs and task memory.
//
// Apartments are bookkeeping only: each thread records the model it entered with
// CoInitialize(Ex) and how often, with Win32's S_OK / S_FALSE / RPC_E_CHANGED_MODE. Nothing is
// marshalled between apartments here; every call is direct.
//
// A BSTR is laid out as on Windows: a 4-byte length in bytes before the first character and a
// terminator after the last. OLECHAR is wchar_t (4 bytes here), so SysStringLen is the byte
// length divided by 4.
#pragma once

#include "kvposix/wintypes.h"

#ifdef __cplusplus

typedef LONG SCODE;
typedef double DATE;
typedef unsigned short VARTYPE;
typedef DWORD_PTR* LPDWORD_PTR;

struct ITypeInfo;  // type information exists only on Windows
struct ITypeLib;
struct SAFEARRAY;
typedef struct tagVARIANT VARIANT;
typedef VARIANT VARIANTARG;
typedef struct tagDISPPARAMS DISPPARAMS;
typedef struct tagEXCEPINFO EXCEPINFO;

// The interfaces keep Win32's vtable order: the layout is the binary contract with callers.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
typedef IClassFactory* LPCLASSFACTORY;

struct IDispatch : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                    DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                             DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;
};
typedef IDispatch* LPDISPATCH;

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
    };
};

struct tagDISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct tagEXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
    SCODE scode;
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)

enum tagCOINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
};
typedef enum tagCOINIT COINIT;

enum _APTTYPE { APTTYPE_CURRENT = -1, APTTYPE_STA = 0, APTTYPE_MTA = 1, APTTYPE_NA = 2, APTTYPE_MAINSTA = 3 };
typedef enum _APTTYPE APTTYPE;
enum _APTTYPEQUALIFIER { APTTYPEQUALIFIER_NONE = 0, APTTYPEQUALIFIER_IMPLICIT_MTA = 1 };
typedef enum _APTTYPEQUALIFIER APTTYPEQUALIFIER;

// {00000000-0000-0000-0000-000000000000}, {00000000-0000-0000-C000-000000000046} and so on.
KVAPI const GUID GUID_NULL;
KVAPI const IID IID_NULL;
KVAPI const CLSID CLSID_NULL;
KVAPI const IID IID_IUnknown;
KVAPI const IID IID_IClassFactory;
KVAPI const IID IID_IDispatch;

// Apartments: the first call on a thread S_OK, each later one with the same model S_FALSE (and
// one more CoUninitialize owed), another model RPC_E_CHANGED_MODE (nothing owed).
KVAPI HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
KVAPI HRESULT CoInitialize(LPVOID pvReserved);
KVAPI void CoUninitialize(void);
// CO_E_NOTINITIALIZED on a thread with no apartment while no thread of the process is in the
// multithreaded one (otherwise that one, qualified APTTYPEQUALIFIER_IMPLICIT_MTA).
KVAPI HRESULT CoGetApartmentType(APTTYPE* pAptType, APTTYPEQUALIFIER* pAptQualifier);

// GUIDs: random version 4; text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (39 units with the
// terminator; StringFromGUID2 returns 0 when cchMax is smaller).
KVAPI HRESULT CoCreateGuid(GUID* pguid);
KVAPI int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Only the braced text form (no ProgIDs here): CO_E_CLASSSTRING otherwise. A null string gives
// GUID_NULL.
KVAPI HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// As Windows: E_INVALIDARG when the length is wrong, CO_E_IIDSTRING when the text is.
KVAPI HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

// BSTRs. Allocation failure returns null (or FALSE).
KVAPI BSTR SysAllocString(const OLECHAR* psz);
KVAPI BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
KVAPI BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
KVAPI INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
KVAPI INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
KVAPI void SysFreeString(BSTR bstrString);
KVAPI UINT SysStringLen(BSTR pbstr);
KVAPI UINT SysStringByteLen(BSTR bstr);

KVAPI LPVOID CoTaskMemAlloc(SIZE_T cb);
KVAPI LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
KVAPI void CoTaskMemFree(LPVOID pv);

#endif  // __cplusplus
