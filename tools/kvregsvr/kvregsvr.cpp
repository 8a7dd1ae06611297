// kvregsvr.cpp -- registers and unregisters in-process COM server modules on POSIX, as regsvr32 does on Windows.
//
//   kvregsvr [/u] [/s] <module>
//
// Loads the module, calls its DllRegisterServer (or DllUnregisterServer with /u) and reports the
// result -- every failure with its code and the system's text for it -- unless /s asks for
// silence. Exit codes are regsvr32's: 0 success, 1 bad arguments, 2 COM could not be
// initialised, 3 the module did not load, 4 the entry point is missing, 5 the call failed.
#include <windows.h>
#include <objbase.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "SystemMessage.h"

namespace {

enum ExitCode { kSuccess = 0, kBadArguments = 1, kComFailed = 2, kLoadFailed = 3, kEntryMissing = 4, kCallFailed = 5 };

typedef HRESULT(STDAPICALLTYPE* EntryPoint)(void);

void Usage(FILE* out) {
    fprintf(out,
            "usage: kvregsvr [/u] [/s] <module>\n"
            "  /u  unregister (call DllUnregisterServer)\n"
            "  /s  silent: no messages\n"
            "  /?  this text\n"
            "Registers an in-process COM server module (a .so) in the registry store: KVLUMEN_REGISTRY,\n"
            "otherwise the machine's store " KVPOSIX_MACHINE_REGISTRY ".\n"
            "Exit codes: 0 done, 1 bad arguments, 2 COM could not be initialised, 3 the module did not load,\n"
            "4 it has no such entry point, 5 the entry point failed.\n");
}

// "Return code was: 0x8007007e" and the system's text for the code, as regsvr32 reports it.
void PrintCode(HRESULT hr) {
    std::string text = SystemMessage(static_cast<DWORD>(hr));
    fprintf(stderr, "Return code was: %s\n%s%s", HexCode(static_cast<DWORD>(hr)).c_str(), text.c_str(),
            text.empty() ? "" : "\n");
}

bool IsOption(const char* arg, char letter) {
    return (arg[0] == '/' || arg[0] == '-') && (arg[1] == letter || arg[1] == letter - 'a' + 'A') && arg[2] == '\0';
}

// Options are one letter after '/' or '-'; anything longer that starts with '/' is an absolute
// path, not an option (regsvr32's '/' options would otherwise swallow every POSIX path).
bool LooksLikeOption(const char* arg) {
    if (arg[0] == '-') return arg[1] != '\0';
    return arg[0] == '/' && arg[1] != '\0' && arg[2] == '\0';
}

// The module's absolute path, so that dlopen does not search the library path for a bare name
// (regsvr32 takes a bare name from the current folder) and the registry records a full path.
std::string ResolvePath(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved)) return resolved;
    return path;  // the load reports what is wrong with it
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool silent = false;
    const char* module = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "/?") == 0 || strcmp(argv[i], "-?") == 0 || strcmp(argv[i], "--help") == 0) {
            Usage(stdout);
            return kSuccess;
        }
        if (IsOption(argv[i], 'u')) {
            unregister = true;
        } else if (IsOption(argv[i], 's')) {
            silent = true;
        } else if (LooksLikeOption(argv[i])) {
            if (!silent) {
                fprintf(stderr, "kvregsvr: unknown option %s\n", argv[i]);
                Usage(stderr);
            }
            return kBadArguments;
        } else if (!module) {
            module = argv[i];
        } else {
            if (!silent) fprintf(stderr, "kvregsvr: more than one module given\n");
            return kBadArguments;
        }
    }
    if (!module) {
        if (!silent) {
            fprintf(stderr, "kvregsvr: no module given\n");
            Usage(stderr);
        }
        return kBadArguments;
    }
    const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";

    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        if (!silent) {
            fprintf(stderr, "kvregsvr: CoInitializeEx failed.\n");
            PrintCode(hr);
        }
        return kComFailed;
    }

    int result = kSuccess;
    std::string path = ResolvePath(module);
    HMODULE library = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) {
        DWORD error = GetLastError();
        const char* detail = dlerror();  // the loader's own words: which file or symbol was missing
        if (!silent) {
            fprintf(stderr, "The module \"%s\" failed to load.\n", module);
            PrintCode(HRESULT_FROM_WIN32(error));
            if (detail) fprintf(stderr, "%s\n", detail);
        }
        result = kLoadFailed;
    } else {
        // Through void*: GetProcAddress knows only FARPROC, the export has its own type.
        EntryPoint entry = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(library, entryName)));
        if (!entry) {
            if (!silent) {
                fprintf(stderr, "The module \"%s\" was loaded but the entry-point %s was not found.\n", module,
                        entryName);
                PrintCode(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
            }
            result = kEntryMissing;
        } else {
            hr = entry();
            if (FAILED(hr)) {
                if (!silent) {
                    fprintf(stderr, "The module \"%s\" was loaded but the call to %s failed.\n", module, entryName);
                    PrintCode(hr);
                }
                result = kCallFailed;
            } else if (!silent) {
                printf("%s in %s succeeded.\n", entryName, module);
            }
        }
        FreeLibrary(library);
    }
    CoUninitialize();
    return result;
}
