// ListenerTypeLib.cpp -- registering and unregistering the type library EventListenerLib that the module carries.
#include "ListenerTypeLib.h"

#ifdef _WIN32

#include <oleauto.h>

#include <new>
#include <string>

namespace {

std::wstring Widen(const char* text) {
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"\\/"); }

// The same path with its extension (if the file name has one) replaced by ".tlb".
std::wstring TlbPathOf(const std::wstring& path) {
    size_t dot = path.find_last_of(L'.');
    size_t separator = LastSeparator(path);
    if (dot == std::wstring::npos || (separator != std::wstring::npos && dot < separator)) return path + L".tlb";
    return path.substr(0, dot) + L".tlb";
}

// Loads the library from the module, else from the .tlb beside it; `loadedFrom` says which.
HRESULT LoadFromModule(const char* modulePath, ITypeLib** library, std::wstring* loadedFrom) {
    *library = nullptr;
    std::wstring path = Widen(modulePath);
    if (path.empty()) return E_INVALIDARG;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
    if (SUCCEEDED(hr)) {
        *loadedFrom = path;
        return hr;
    }
    std::wstring tlb = TlbPathOf(path);
    if (SUCCEEDED(LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, library))) {
        *loadedFrom = tlb;
        return S_OK;
    }
    *library = nullptr;
    return hr;  // the module's own failure says more than "no .tlb file"
}

}  // namespace

HRESULT ListenerTypeLib::Register(const char* modulePath) {
    if (!modulePath) return E_POINTER;
    try {
        ITypeLib* library = nullptr;
        std::wstring loadedFrom;
        HRESULT hr = LoadFromModule(modulePath, &library, &loadedFrom);
        if (FAILED(hr)) return hr;
        // The help folder is the module's folder, without its final separator.
        std::wstring module = Widen(modulePath);
        size_t separator = LastSeparator(module);
        std::wstring helpDir = separator == std::wstring::npos ? std::wstring() : module.substr(0, separator);
        hr = RegisterTypeLib(library, const_cast<LPOLESTR>(loadedFrom.c_str()),
                             helpDir.empty() ? nullptr : const_cast<LPOLESTR>(helpDir.c_str()));
        library->Release();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ListenerTypeLib::Unregister(const char* modulePath) {
    if (!modulePath) return E_POINTER;
    try {
        ITypeLib* library = nullptr;
        std::wstring loadedFrom;
        HRESULT hr = LoadFromModule(modulePath, &library, &loadedFrom);
        if (FAILED(hr)) return hr;
        TLIBATTR* attributes = nullptr;
        hr = library->GetLibAttr(&attributes);
        if (SUCCEEDED(hr)) {
            hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                   attributes->lcid, attributes->syskind);
            library->ReleaseTLibAttr(attributes);
        }
        library->Release();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

#else  // POSIX

// No type libraries exist on POSIX (the layer cannot load or register one): nothing to do.
HRESULT ListenerTypeLib::Register(const char* modulePath) { return modulePath ? S_OK : E_POINTER; }

HRESULT ListenerTypeLib::Unregister(const char* modulePath) { return modulePath ? S_OK : E_POINTER; }

#endif
