// BenchSupport.cpp -- what the benchmarks share: where they run from, the settings they make, a spool folder of their own.
#include "BenchSupport.h"

#include <stdlib.h>

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of("/\\") + 1); }

std::string SelfPath() {
    char path[4096] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n < sizeof(path) ? n : 0);
}

std::string ModuleBesideSelf(const char* name) {
#ifdef _WIN32
    return FolderOf(SelfPath()) + name + ".dll";
#else
    return FolderOf(SelfPath()) + name + ".so";
#endif
}

namespace {

bool SetMachineValue(const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

}  // namespace

bool SetMachineString(const std::string& key, const char* name, const std::string& value) {
    return SetMachineValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

bool SetMachineDword(const std::string& key, const char* name, DWORD value) {
    return SetMachineValue(key, name, REG_DWORD, &value, sizeof(value));
}

void DeleteMachineValue(const std::string& key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_WRITE, &handle) != ERROR_SUCCESS) return;
    RegDeleteValueA(handle, name);
    RegCloseKey(handle);
}

bool CallRegistration(const std::string& path, bool registering) {
    HMODULE module = LoadLibraryA(path.c_str());
    auto entry = module ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(
                              GetProcAddress(module, registering ? "DllRegisterServer" : "DllUnregisterServer")))
                        : nullptr;
    return entry && SUCCEEDED(entry());
}

std::string MakeBenchFolder(const char* prefix) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    std::string folder = std::string(temp) + prefix + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
#ifdef _WIN32
    folder += "\\";
#else
    const char* store = getenv("KVLUMEN_REGISTRY");
    if (!store || !*store) KvRegSetStorePath((folder + "/registry.reg").c_str());
    folder += "/";
#endif
    CreateDirectoryA((folder + "spool").c_str(), nullptr);
    return FolderOf(folder) + "spool" + folder.back();
}

size_t CountSpooled(const std::string& folder) {
    size_t count = 0;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "event-*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do ++count;
    while (FindNextFileA(find, &data));
    FindClose(find);
    return count;
}

namespace {

void RemoveFolderAndFiles(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name != "." && name != "..") DeleteFileA((folder + name).c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

void RemoveBenchFolder(const std::string& folder) {
    RemoveFolderAndFiles(folder);
    RemoveFolderAndFiles(FolderOf(folder.substr(0, folder.size() - 1)));
}
