// PlatformServices.cpp -- ProgID creation with the out-of-process override, and module registration repair.
#include "PlatformServices.h"

#include <wctype.h>

#include <string>
#include <vector>

#include "Logging.h"
#include "RegistryValue.h"
#include "UniqueHandle.h"

namespace {

const char kForceKey[] = "SOFTWARE\\Korvane\\KVLumen\\ForceToOutOfProc";
const DWORD kForceValueSize = 260;
const DWORD kAnyServer = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
const DWORD kRegistrationStepMs = 500;
const int kRegistrationSteps = 7;

typedef HRESULT(STDAPICALLTYPE* RegistrationEntry)();

HRESULT RegisterDll(const std::string& path, const WCHAR* loweredPath, bool registering) {
    UniqueModule module(LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) {
        KVLOG(1, "CPComPtr<>::RegisterComponent | LoadLibrary Failed!!!");
        return E_FAIL;
    }
    HRESULT hr = E_FAIL;
    auto entry = reinterpret_cast<RegistrationEntry>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), registering ? "DllRegisterServer" : "DllUnregisterServer")));
    if (!entry) {
        KVLOG(1, "CPComPtr<>::RegisterComponent | GetProcAddress Failed!!!");
    } else {
        try {
            hr = entry();
            if (FAILED(hr)) KVLOG(2, "CPComPtr<>::RegisterComponent | COM Registration Failed!!! | module=%S", loweredPath);
        } catch (...) {
            KVLOG(1, "CPComPtr<>::RegisterComponent | DLL COM Registration Threw an Exception!!! | module=%S", loweredPath);
            hr = E_FAIL;
        }
    }
    return hr;
}

HRESULT RegisterExe(const std::string& loweredNarrowPath, const WCHAR* loweredPath, bool registering) {
    std::string command = "\"" + loweredNarrowPath + "\"" + (registering ? " /regserver" : " /unregserver");
    std::vector<char> commandLine(command.begin(), command.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS | NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process))
        return E_FAIL;
    UniqueHandle thread(process.hThread);
    UniqueHandle child(process.hProcess);
    thread.reset();
    HRESULT hr = E_FAIL;
    int waits = 1;
    DWORD wait = WaitForSingleObject(child.get(), kRegistrationStepMs);
    while (wait == WAIT_TIMEOUT && waits < kRegistrationSteps) {
        wait = WaitForSingleObject(child.get(), kRegistrationStepMs);
        ++waits;
    }
    if (wait == WAIT_TIMEOUT) {
        // A hung registration is abandoned, not ended: it may still finish its work.
        KVLOG(2, "CPComPtr<>::RegisterComponent | COM Registration Hung!!! | module=%S", loweredPath);
    } else {
        DWORD code = 1;
        GetExitCodeProcess(child.get(), &code);
        if (code != 0)
            KVLOG(2, "CPComPtr<>::RegisterComponent | COM Registration - exited with a failure code!!! | module=%S | %d",
                  loweredPath, static_cast<int>(code));
        else
            hr = S_OK;
    }
    return hr;
}

bool EndsWith(const WCHAR* text, UINT length, const WCHAR* suffix) {
    UINT n = static_cast<UINT>(wcslen(suffix));
    return length >= n && wcscmp(text + length - n, suffix) == 0;
}

}  // namespace

HRESULT CPComPtrBase::RegisterComponent(const WCHAR* modulePath, bool registering) {
    KVLOG(3, "CPComPtr<>::RegisterComponent | %S | %s", modulePath ? modulePath : L"", registering ? "Register" : "UnRegister");
    CPWHeapStringBuffer path;
    path.Assign(modulePath);
    if (path.GetLength() == 0) return E_FAIL;

    std::string narrowPath = path.GetMultiByte("");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(narrowPath.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return E_FAIL;
    FindClose(search);

    // Extensions compare without regard to case; the lowered path also goes into the log and
    // the command line.
    WCHAR* text = path.GetText();
    UINT length = path.GetLength();
    for (UINT i = 0; i < length; ++i) text[i] = static_cast<WCHAR>(towlower(text[i]));
    std::string loweredNarrow = path.GetMultiByte("");

    if (EndsWith(text, length, L".dll")) return RegisterDll(narrowPath, text, registering);
#ifndef _WIN32
    // In-process servers are shared libraries here.
    if (EndsWith(text, length, L".so")) return RegisterDll(narrowPath, text, registering);
#endif
#ifdef _WIN32
    if (EndsWith(text, length, L".exe")) return RegisterExe(loweredNarrow, text, registering);
#else
    // File names are case-sensitive here: the program is started under its own name.
    if (EndsWith(text, length, L".exe")) return RegisterExe(narrowPath, text, registering);
#endif
    return S_OK;
}

DWORD PlatformServices::CreationContext(const WCHAR* progId) {
    CPWStringBuffer progIdCopy;
    progIdCopy.Assign(progId);
    KVLOG(8, "PlatformServices::CreateInstance() just created temp");
    DWORD context = kAnyServer;
    UniqueRegKey forceKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kForceKey, 0, KEY_READ, forceKey.put()) != ERROR_SUCCESS) {
        KVLOG(8, "PlatformServices::CreateInstance() could not find forcekey");
    } else {
        KVLOG(8, "PlatformServices::CreateInstance() found forcekey");
        char value[kForceValueSize];
        DWORD size = sizeof(value);
        if (QueryStringValue(forceKey.get(), progIdCopy.GetMultiByte(""), value, &size) == ERROR_SUCCESS) {
            KVLOG(8, "PlatformServices::CreateInstance() found string value in forcekey");
            context = CLSCTX_LOCAL_SERVER;
        } else {
            KVLOG(8, "PlatformServices::CreateInstance() string value in forcekey not found");
        }
    }
    return context;
}

HRESULT PlatformServices::CreateInstanceUntyped(void** slot, REFIID iid, const WCHAR* progId, const WCHAR* repairModule) {
    KVLOG(8, "PlatformServices::CreateInstance() Entering");
    KVLOG(9, "CI 1");
    KVLOG(9, "CI 2");
    if (*slot) {
        IUnknown* held = static_cast<IUnknown*>(*slot);
        *slot = nullptr;
        held->Release();
    }
    KVLOG(9, "CI 3");

    CLSID clsid;
    HRESULT resolved = CLSIDFromProgID(progId, &clsid);
    if (FAILED(resolved) && repairModule) {
        KVLOG(2, "PlatformServices::CreateInstance() CLSIDFromProgID failed, retrying...");
        CPComPtrBase::RegisterComponent(repairModule, true);
        resolved = CLSIDFromProgID(progId, &clsid);
        KVLOG(9, "CI 4 ret: -- %08x\n", static_cast<unsigned>(resolved));
    }

    HRESULT hr;
    if (SUCCEEDED(resolved)) {
        KVLOG(8, "PlatformServices::CreateInstance() CLSIDFromProgID succeeded");
        hr = E_FAIL;
        try {
            hr = CoCreateInstance(clsid, nullptr, CreationContext(progId), iid, slot);
        } catch (...) {
            KVLOG(9, "CI 5");
            *slot = nullptr;
            if (SUCCEEDED(hr)) hr = E_FAIL;
            KV_LOG_CAUGHT("PlatformServices::CreateInstance() caught exception.");
        }
    } else {
        KVLOG(1, "PlatformServices::CreateInstance() unable to resolve CLSID");
        hr = resolved;
    }

    if (FAILED(hr)) {
        KVLOG(1, "PlatformServices::CreateInstance() returning FAIL.");
    } else {
        KVLOG(8, "PlatformServices::CreateInstance() returning SUCCESS.");
    }
    return hr;
}
