// PlatformServices.h -- creating COM objects by ProgID: the out-of-process override and the registration repair.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "CPWStringBuffer.h"

// The interface identifier of an interface type, for CPComPtr. Declare one per interface used
// with KV_INTERFACE_ID.
template <class T>
struct InterfaceId;

#define KV_INTERFACE_ID(Interface, iid)                     \
    template <>                                              \
    struct InterfaceId<Interface> {                          \
        static const IID& Get() { return iid; }             \
    }

KV_INTERFACE_ID(IUnknown, IID_IUnknown);
KV_INTERFACE_ID(IDispatch, IID_IDispatch);

// What CPComPtr shares across interface types: the registration repair of a component module.
class CPComPtrBase {
public:
    // Registers (or unregisters) the module at `modulePath`: a ".dll" (on POSIX also a ".so")
    // through its entry point,
    // an ".exe" by running it with "/regserver" ("/unregserver") and waiting up to 3.5 s; any
    // other extension registers nothing and succeeds.
    static HRESULT RegisterComponent(const WCHAR* modulePath, bool registering);
};

// Holds one interface pointer and releases it when cleared or destroyed.
template <class T>
class CPComPtr : public CPComPtrBase {
public:
    CPComPtr() = default;
    ~CPComPtr() { Clear(); }
    CPComPtr(const CPComPtr&) = delete;
    CPComPtr& operator=(const CPComPtr&) = delete;

    void Clear() {
        if (mPointer) {
            T* held = mPointer;
            mPointer = nullptr;
            held->Release();
        }
    }
    // Forgets the pointer without releasing it (for a pointer whose state is unknown).
    void Abandon() { mPointer = nullptr; }
    T* Get() const { return mPointer; }
    T* operator->() const { return mPointer; }
    explicit operator bool() const { return mPointer != nullptr; }
    // The slot for a call that stores a new pointer; it must be empty.
    T** Slot() { return &mPointer; }
    static const IID& Iid() { return InterfaceId<T>::Get(); }

private:
    T* mPointer = nullptr;
};

namespace PlatformServices {

// Creates the object registered under `progId` and stores its T interface in `pointer` (which
// is emptied first; `slot` is the pointer's slot, released here when it holds an interface). A string value named after the ProgID under
// HKLM\SOFTWARE\Korvane\KVLumen\ForceToOutOfProc forces out-of-process creation. When the ProgID
// cannot be resolved and `repairModule` is given, that module is registered again and the
// lookup retried once. The calling thread must have initialised COM.
HRESULT CreateInstanceUntyped(void** slot, REFIID iid, const WCHAR* progId, const WCHAR* repairModule);

// Where CreateInstance would have the object made: CLSCTX_LOCAL_SERVER when the ForceToOutOfProc
// key names `progId`, else any server. Throws E_OUTOFMEMORY when the name cannot be copied.
DWORD CreationContext(const WCHAR* progId);

template <class T>
HRESULT CreateInstance(CPComPtr<T>& pointer, const WCHAR* progId, const WCHAR* repairModule) {
    // Every interface begins with IUnknown, so the slot is released and filled through it.
    return CreateInstanceUntyped(reinterpret_cast<void**>(pointer.Slot()), CPComPtr<T>::Iid(), progId, repairModule);
}

}  // namespace PlatformServices
