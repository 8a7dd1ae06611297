// BenchSupport.cpp -- what the benchmarks share: where they run from and the settings they make.
#include "BenchSupport.h"

namespace kvbench {

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of("/\\") + 1); }

std::string SelfPath() {
    char path[4096] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n < sizeof(path) ? n : 0);
}

bool SetMachineString(const std::string& key, const char* name, const std::string& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
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

}  // namespace kvbench
