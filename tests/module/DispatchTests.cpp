// DispatchTests.cpp -- the Listener's IDispatch: through the registered type library on Windows, honestly absent on POSIX.
#include "ModuleTestSupport.h"

#include <oleauto.h>

#include <cstdio>

using namespace kvtest;

namespace {

IDispatch* CreateDispatch(ModuleEntryPoints& module) {
    IClassFactory* factory = nullptr;
    if (module.getClassObject(CLSID_Listener, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) return nullptr;
    IDispatch* dispatch = nullptr;
    factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    factory->Release();
    return dispatch;
}

}  // namespace

#ifdef _WIN32

namespace {

#define CHILD_CHECK(condition, code)                                         \
    do {                                                                     \
        if (!(condition)) {                                                  \
            fprintf(stderr, "dispatch child: %s failed\n", #condition);      \
            return code;                                                     \
        }                                                                    \
    } while (0)

}  // namespace

KV_TEST_CHILD(dispatch_before_and_after_registration) {
    ModuleEntryPoints module;
    if (!module.Load(BuiltModulePath())) return 10;
    module.unregisterServer();
    IDispatch* dispatch = CreateDispatch(module);
    CHILD_CHECK(dispatch != nullptr, 11);

    // Not registered: the calls that need type information fail with the lookup's own error.
    ITypeLib* probe = nullptr;
    HRESULT lookup = LoadRegTypeLib(LIBID_EventListenerLib, 1, 0, LANG_NEUTRAL, &probe);
    CHILD_CHECK(FAILED(lookup), 12);
    OLECHAR startName[] = L"Start";
    LPOLESTR names[] = {startName};
    DISPID id = 0;
    CHILD_CHECK(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id) == lookup, 13);
    ITypeInfo* info = nullptr;
    CHILD_CHECK(dispatch->GetTypeInfo(0, 0, &info) == lookup && info == nullptr, 14);
    UINT count = 0;
    CHILD_CHECK(dispatch->GetTypeInfoCount(&count) == S_OK && count == 1, 15);

    // Registered: names resolve, and Invoke reaches Start and Stop.
    CHILD_CHECK(module.registerServer() == S_OK, 16);
    CHILD_CHECK(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id) == S_OK && id == 1, 17);
    OLECHAR stopName[] = L"stop";  // names are matched without regard to case
    names[0] = stopName;
    CHILD_CHECK(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id) == S_OK && id == 2, 18);
    OLECHAR unknownName[] = L"Restart";
    names[0] = unknownName;
    CHILD_CHECK(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id) == DISP_E_UNKNOWNNAME, 19);
    CHILD_CHECK(dispatch->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id) == DISP_E_UNKNOWNINTERFACE, 20);

    CHILD_CHECK(dispatch->GetTypeInfo(0, 0, &info) == S_OK && info != nullptr, 21);
    TYPEATTR* attributes = nullptr;
    CHILD_CHECK(info->GetTypeAttr(&attributes) == S_OK, 22);
    bool isListener = IsEqualGUID(attributes->guid, IID_IEventListener) && attributes->typekind == TKIND_DISPATCH;
    info->ReleaseTypeAttr(attributes);
    info->Release();
    CHILD_CHECK(isListener, 23);
    CHILD_CHECK(dispatch->GetTypeInfo(1, 0, &info) == DISP_E_BADINDEX, 24);

    // As a script engine calls it: the out argument comes as a reference to a VARIANT.
    VARIANT port;
    VariantInit(&port);
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&argument) = &port;
    DISPPARAMS params = {&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    UINT argError = 0;
    HRESULT hr = dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &exception, &argError);
    if (hr != S_OK) fprintf(stderr, "dispatch child: Invoke(Start) gave 0x%08x (argument %u)\n", (unsigned)hr, argError);
    CHILD_CHECK(hr == S_OK, 25);
    CHILD_CHECK(V_VT(&port) == VT_BSTR && SysStringLen(V_BSTR(&port)) > 0, 26);
    VariantClear(&port);
    VariantClear(&result);

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    CHILD_CHECK(dispatch->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &exception, &argError) == S_OK, 27);

    // As a compiled client calls it: a reference to a BSTR.
    BSTR text = nullptr;
    V_VT(&argument) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&argument) = &text;
    CHILD_CHECK(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &exception, &argError) == S_OK, 30);
    CHILD_CHECK(text != nullptr && SysStringLen(text) > 0, 31);
    SysFreeString(text);
    CHILD_CHECK(dispatch->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &exception, &argError) == S_OK, 32);
    CHILD_CHECK(dispatch->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &exception, &argError) ==
                    DISP_E_MEMBERNOTFOUND, 28);
    dispatch->Release();
    CHILD_CHECK(module.unregisterServer() == S_OK, 29);
    module.Keep();
    return 0;
}

// IDispatch fails with the lookup's error until the library is registered, then serves names,
// type information and calls (a by-reference VARIANT receives the port).
TEST(Dispatch, ServedFromTheRegisteredLibrary) {
    EXPECT_EQ(0u, RunChild("dispatch_before_and_after_registration", "", 60000));
}

#else

// Without type information the POSIX build says so instead of pretending.
TEST(Dispatch, PosixHasNoTypeInformation) {
    IDispatch* dispatch = CreateDispatch(SharedModule());
    ASSERT_NE(nullptr, dispatch);
    UINT count = 99;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(E_NOTIMPL, dispatch->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(nullptr, info);
    OLECHAR startName[] = L"Start";
    LPOLESTR names[] = {startName};
    DISPID id = 0;
    EXPECT_EQ(E_NOTIMPL, dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(E_NOTIMPL, dispatch->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
    dispatch->Release();
}

#endif
