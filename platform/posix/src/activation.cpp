// activation.cpp -- ProgID lookup and in-process server activation over the registry and dlopen.
#include <windows.h>

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "RegistryStore.h"

namespace {

// Narrow form of a wide registry name: each unit to the byte of the same value.
bool Narrow(LPCOLESTR text, std::string* out) {
    out->clear();
    for (; *text; ++text) {
        if (static_cast<unsigned long>(*text) > 0xFF) return false;
        *out += static_cast<char>(*text);
    }
    return true;
}

// The default value of HKCR\<key> as text (one look at the store: a creation asks twice);
// false when it is missing or not a string.
bool DefaultString(const std::string& key, std::string* value) {
    char buffer[4096];
    DWORD size = sizeof(buffer);
    if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    *value = buffer;
    return true;
}

std::string ClsidKey(REFCLSID clsid) {
    WCHAR text[40];
    StringFromGUID2(clsid, text, 40);
    std::string narrow;
    Narrow(text, &narrow);
    return "CLSID\\" + narrow;
}

// Servers stay loaded for the life of the process, as objects of theirs may live anywhere.
std::mutex gServersLock;
std::map<std::string, void*>& Servers() {
    static std::map<std::string, void*>* servers = new std::map<std::string, void*>();
    return *servers;
}

HRESULT LoadServer(const std::string& path, LPFNGETCLASSOBJECT* entry) {
    std::lock_guard<std::mutex> hold(gServersLock);
    void*& module = Servers()[path];
    if (!module) module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        Servers().erase(path);
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    *entry = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(module, "DllGetClassObject"));
    return *entry ? S_OK : CO_E_ERRORINDLL;
}

bool ThreadHasCom() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return CoGetApartmentType(&type, &qualifier) == S_OK;
}

}  // namespace

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    if (!progId || !clsid) return E_INVALIDARG;
    // A thread that asks for the same ProgID again (a listener's handler, at every event) gets
    // its last answer while the registry is unchanged, without looking the key up again.
    thread_local struct {
        std::wstring progId;
        CLSID clsid;
        uint64_t generation = 0;
        bool valid = false;
    } last;
    uint64_t generation = 0;
    bool known = kvreg::RegistryStore::Instance().Generation(&generation) == ERROR_SUCCESS;
    if (known && last.valid && last.generation == generation && last.progId == progId) {
        *clsid = last.clsid;
        return S_OK;
    }
    std::string name, text;
    if (!Narrow(progId, &name) || name.empty() || !DefaultString(name + "\\CLSID", &text)) return CO_E_CLASSSTRING;
    std::wstring wide(text.begin(), text.end());
    if (FAILED(CLSIDFromString(wide.c_str(), clsid))) return CO_E_CLASSSTRING;
    // Remembered under the number read before the look: a change meanwhile makes it stale.
    last.valid = known;
    if (known) {
        last.progId = progId;
        last.clsid = *clsid;
        last.generation = generation;
    }
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID reserved, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!ThreadHasCom()) return CO_E_NOTINITIALIZED;
    if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
    std::string path;
    if (!DefaultString(ClsidKey(clsid) + "\\InprocServer32", &path) || path.empty()) return REGDB_E_CLASSNOTREG;
    LPFNGETCLASSOBJECT entry = nullptr;
    HRESULT hr = LoadServer(path, &entry);
    if (FAILED(hr)) return hr;
    return entry(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, iid, object);
    factory->Release();
    return hr;
}
