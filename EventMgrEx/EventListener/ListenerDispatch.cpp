// ListenerDispatch.cpp -- IDispatch for the Listener, served from the registered type information.
#include "ListenerDispatch.h"

#include "IEventListener.h"

#ifdef _WIN32

#include <atomic>
#include <new>

namespace {

// What the calls need of the library: the dispatch description that clients ask for, and for a
// dual interface its vtable description, through which ITypeInfo::Invoke calls Start and Stop
// directly (the dispatch one would lead Invoke back into our own IDispatch::Invoke).
struct TypeInfos {
    ITypeInfo* dispatch;
    ITypeInfo* vtable;
};

std::atomic<TypeInfos*> gTypeInfos{nullptr};

// Start's DISPID in the type library.
const DISPID kStartDispId = 1;

HRESULT LoadTypeInfos(TypeInfos** infos) {
    *infos = gTypeInfos.load(std::memory_order_acquire);
    if (*infos) return S_OK;

    ITypeLib* library = nullptr;
    HRESULT hr = LoadRegTypeLib(LIBID_EventListenerLib, 1, 0, LANG_NEUTRAL, &library);
    if (FAILED(hr)) return hr;
    ITypeInfo* dispatch = nullptr;
    hr = library->GetTypeInfoOfGuid(IID_IEventListener, &dispatch);
    library->Release();
    if (FAILED(hr)) return hr;

    ITypeInfo* vtable = nullptr;
    HREFTYPE vtableRef = 0;
    if (FAILED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef)) ||
        FAILED(dispatch->GetRefTypeInfo(vtableRef, &vtable)) || !vtable) {
        vtable = dispatch;  // not dual: the dispatch description is all there is
        vtable->AddRef();
    }

    TypeInfos* loaded = new (std::nothrow) TypeInfos{dispatch, vtable};
    if (!loaded) {
        vtable->Release();
        dispatch->Release();
        return E_OUTOFMEMORY;
    }
    TypeInfos* expected = nullptr;
    if (gTypeInfos.compare_exchange_strong(expected, loaded, std::memory_order_acq_rel)) {
        *infos = loaded;
    } else {
        // Another thread was quicker; use its copy.
        loaded->vtable->Release();
        loaded->dispatch->Release();
        delete loaded;
        *infos = expected;
    }
    return S_OK;
}

}  // namespace

HRESULT ListenerDispatch::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT ListenerDispatch::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    TypeInfos* infos = nullptr;
    HRESULT hr = LoadTypeInfos(&infos);
    if (FAILED(hr)) return hr;
    infos->dispatch->AddRef();
    *info = infos->dispatch;
    return S_OK;
}

HRESULT ListenerDispatch::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    TypeInfos* infos = nullptr;
    HRESULT hr = LoadTypeInfos(&infos);
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(infos->dispatch, names, count, ids);
}

HRESULT ListenerDispatch::Invoke(IEventListener* object, DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    TypeInfos* infos = nullptr;
    HRESULT hr = LoadTypeInfos(&infos);
    if (FAILED(hr)) return hr;

    // Script engines pass a variable as a reference to its VARIANT; the system's Invoke finds no
    // conversion from that to Start's BSTR* and answers DISP_E_TYPEMISMATCH, so a script could
    // never learn the port. Start gets a BSTR of its own here, and its text goes into the
    // caller's VARIANT.
    if (id == kStartDispId && (flags & DISPATCH_METHOD) && params && params->cArgs == 1 && params->cNamedArgs == 0 &&
        V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&params->rgvarg[0])) {
        BSTR text = nullptr;
        VARIANT argument;
        VariantInit(&argument);
        V_VT(&argument) = VT_BYREF | VT_BSTR;
        V_BSTRREF(&argument) = &text;
        DISPPARAMS adapted = {&argument, nullptr, 1, 0};
        hr = infos->vtable->Invoke(object, id, flags, &adapted, result, exception, argError);
        if (SUCCEEDED(hr)) {
            VARIANT* target = V_VARIANTREF(&params->rgvarg[0]);
            VariantClear(target);
            V_VT(target) = VT_BSTR;
            V_BSTR(target) = text;
        } else {
            SysFreeString(text);
        }
        return hr;
    }
    return infos->vtable->Invoke(object, id, flags, params, result, exception, argError);
}

void ListenerDispatch::ReleaseCache() {
    TypeInfos* infos = gTypeInfos.exchange(nullptr, std::memory_order_acq_rel);
    if (!infos) return;
    infos->vtable->Release();
    infos->dispatch->Release();
    delete infos;
}

#else  // POSIX: no type information exists

HRESULT ListenerDispatch::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT ListenerDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

HRESULT ListenerDispatch::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT ListenerDispatch::Invoke(IEventListener*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                 UINT*) {
    return E_NOTIMPL;
}

void ListenerDispatch::ReleaseCache() {}

#endif
