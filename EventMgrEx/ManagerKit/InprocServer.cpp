// InprocServer.cpp -- self-registration of a small in-process server, and its module path.
#include "InprocServer.h"

#include "UniqueHandle.h"

#include <ctype.h>
#include <stdlib.h>

#ifndef _WIN32
#include <dlfcn.h>
#endif

std::atomic<LONG> gInprocServerLocks{0};

std::string OwnModulePath() {
#ifdef _WIN32
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnModulePath), &module))
        return std::string();
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(module, path, sizeof(path));
    return (n == 0 || n >= sizeof(path)) ? std::string() : std::string(path, n);
#else
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) || !info.dli_fname) return std::string();
    char resolved[4096];
    return realpath(info.dli_fname, resolved) ? std::string(resolved) : std::string(info.dli_fname);
#endif
}

namespace {

bool SameTextIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

std::string ClsidText(REFCLSID clsid) {
    WCHAR wide[64];
    StringFromGUID2(clsid, wide, 64);
    std::string text;
    for (const WCHAR* p = wide; *p; ++p) text += static_cast<char>(*p);
    return text;
}

LONG SetString(HKEY root, const std::string& key, const char* name, const std::string& value) {
    UniqueRegKey handle;
    LONG rc = RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, handle.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExA(handle.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

LONG DeleteTree(HKEY root, const std::string& key) {
    UniqueRegKey handle;
    LONG rc = RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | KEY_WRITE, handle.put());
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    char sub[256];
    for (;;) {
        DWORD length = sizeof(sub);
        if (RegEnumKeyExA(handle.get(), 0, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (DeleteTree(handle.get(), sub) != ERROR_SUCCESS) break;
    }
    handle.reset();
    rc = RegDeleteKeyA(root, key.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

}  // namespace

HRESULT RegisterInprocServer(REFCLSID clsid, const char* progId, const char* description) {
    std::string path = OwnModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    std::string clsidText = ClsidText(clsid);
    std::string classKey = "CLSID\\" + clsidText;
    const struct {
        std::string key;
        const char* name;
        std::string value;
    } entries[] = {
        {progId, nullptr, description},
        {std::string(progId) + "\\CLSID", nullptr, clsidText},
        {classKey, nullptr, description},
        {classKey + "\\ProgID", nullptr, progId},
        {classKey + "\\InprocServer32", nullptr, path},
        {classKey + "\\InprocServer32", "ThreadingModel", "Both"},
    };
    for (const auto& entry : entries) {
        LONG rc = SetString(HKEY_CLASSES_ROOT, entry.key, entry.name, entry.value);
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    }
    return S_OK;
}

HRESULT UnregisterInprocServer(REFCLSID clsid, const char* progId) {
    std::string clsidText = ClsidText(clsid);
    UniqueRegKey handle;
    std::string progIdClsid = std::string(progId) + "\\CLSID";
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, progIdClsid.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS) {
        char value[64] = {};
        DWORD size = sizeof(value) - 1;
        LONG rc = RegQueryValueExA(handle.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
        handle.reset();
        if (rc == ERROR_SUCCESS && SameTextIgnoringCase(value, clsidText.c_str())) {
            LONG removed = DeleteTree(HKEY_CLASSES_ROOT, progId);
            if (removed != ERROR_SUCCESS) return HRESULT_FROM_WIN32(removed);
        }
    }
    LONG rc = DeleteTree(HKEY_CLASSES_ROOT, "CLSID\\" + clsidText);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}
