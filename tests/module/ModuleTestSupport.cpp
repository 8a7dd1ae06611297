// ModuleTestSupport.cpp -- loading the built KVEvLsn module dynamically, and reading the registry it writes.
#include "ModuleTestSupport.h"

#include <cstdio>
#include <fstream>
#include <vector>

namespace kvtest {

namespace {

// An export as the function type it has (GetProcAddress knows only FARPROC).
template <class Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool ModuleEntryPoints::Load(const std::string& path) {
    Free();
    mModule = LoadLibraryA(path.c_str());
    if (!mModule) {
        mError = "LoadLibraryA(" + path + ") failed: " + std::to_string(GetLastError());
        return false;
    }
    getClassObject = Export<GetClassObjectFn>(mModule, "DllGetClassObject");
    canUnloadNow = Export<ModuleFn>(mModule, "DllCanUnloadNow");
    registerServer = Export<ModuleFn>(mModule, "DllRegisterServer");
    unregisterServer = Export<ModuleFn>(mModule, "DllUnregisterServer");
    if (!getClassObject || !canUnloadNow || !registerServer || !unregisterServer) {
        mError = "an entry point is missing in " + path;
        Free();
        return false;
    }
    return true;
}

void ModuleEntryPoints::Free() {
    if (mModule) FreeLibrary(mModule);
    mModule = nullptr;
    getClassObject = nullptr;
    canUnloadNow = nullptr;
    registerServer = nullptr;
    unregisterServer = nullptr;
}

std::string ModuleEntryPoints::FileName() const {
    char path[4096] = {};
    DWORD n = GetModuleFileNameA(mModule, path, sizeof(path));
    return std::string(path, n < sizeof(path) ? n : 0);
}

const char* ModuleFileName() {
#ifdef _WIN32
    return "KVEvLsn.dll";
#else
    return "KVEvLsn.so";
#endif
}

std::string BuiltModulePath() {
    std::string self = SelfPath();
    size_t separator = self.find_last_of("\\/");
    return self.substr(0, separator + 1) + ModuleFileName();
}

ModuleEntryPoints& SharedModule() {
    static ModuleEntryPoints* shared = [] {
        auto* module = new ModuleEntryPoints();
        if (!module->Load(BuiltModulePath())) ADD_FAILURE() << module->Error();
        return module;
    }();
    return *shared;
}

IClassFactory* ListenerFactory() {
    ModuleEntryPoints& module = SharedModule();
    if (!module.getClassObject) return nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = module.getClassObject(CLSID_Listener, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    EXPECT_EQ(S_OK, hr);
    return factory;
}

bool KeyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::string ReadString(HKEY root, const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
    char data[4096] = {};
    DWORD size = sizeof(data) - 1;
    DWORD type = REG_NONE;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return "<missing>";
    return std::string(data, size > 0 && data[size - 1] == '\0' ? size - 1 : size);
}

void DeleteKeyTree(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return;
    for (;;) {
        char sub[512];
        DWORD length = sizeof(sub);
        if (RegEnumKeyExA(key, 0, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        DeleteKeyTree(key, sub);
        // A subkey that could not be deleted would make this loop endless.
        if (KeyExists(key, sub)) break;
    }
    RegCloseKey(key);
    RegDeleteKeyA(root, path.c_str());
}

bool WriteString(HKEY root, const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

namespace {

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_DWORD: return "REG_DWORD";
    case REG_BINARY: return "REG_BINARY";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return "type " + std::to_string(type);
    }
}

void CollectLines(HKEY key, const std::string& path, std::set<std::string>& lines) {
    lines.insert(path);
    for (DWORD i = 0;; ++i) {
        char name[1024];
        DWORD nameLength = sizeof(name);
        BYTE data[8192];
        DWORD dataSize = sizeof(data);
        DWORD type = REG_NONE;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        std::string text;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            text.assign(reinterpret_cast<const char*>(data), dataSize);
            // The stored terminator is part of the data: show it, so that a missing one shows too.
            if (!text.empty() && text.back() == '\0') text.back() = '$';
        } else {
            char hex[4];
            for (DWORD b = 0; b < dataSize; ++b) {
                snprintf(hex, sizeof(hex), "%02x", data[b]);
                text += hex;
            }
        }
        lines.insert(path + " | " + (nameLength ? std::string(name, nameLength) : "(default)") + " | " +
                     TypeName(type) + " | " + text);
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.emplace_back(name, length);
    }
    for (const std::string& name : subkeys) {
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) {
            lines.insert(path + "\\" + name + " | <cannot open>");
            continue;
        }
        CollectLines(sub, path + "\\" + name, lines);
        RegCloseKey(sub);
    }
}

}  // namespace

std::set<std::string> RegistryLines(HKEY root, const std::string& path) {
    std::set<std::string> lines;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return lines;
    CollectLines(key, path, lines);
    RegCloseKey(key);
    return lines;
}

std::string GuidText(REFGUID guid) {
    char text[64];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)guid.Data1,
             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool CopyWholeFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << in.rdbuf();
    return static_cast<bool>(out);
}

std::string ComponentSourceDir() { return KV_COMPONENT_SOURCE_DIR; }

}  // namespace kvtest
