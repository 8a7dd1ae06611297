// RegistryBench.cpp -- times the registry look-ups that one delivered event costs.
//
//   registry_bench [rounds] [threads]     (default: 200000 rounds, 1 and 4 threads)
//
// One round is what the listener asks the registry for each event: the event manager's ProgID
// to CLSID, its ForceToOutOfProc value, the class's InprocServer32 path and the spool folder.
// The store is a fresh file in a folder of its own (KVLUMEN_REGISTRY), filled with a few
// hundred keys like a registered machine's; every round must find its answers, and a change
// made to the file by hand must be seen afterwards. (POSIX build only.)
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"


namespace {

const char kProgId[] = "KVLUMEN.BenchManager";
const wchar_t kProgIdWide[] = L"KVLUMEN.BenchManager";
const char kClsidText[] = "{6E1D3B2A-57C4-4F0E-9A1B-2C3D4E5F6071}";
const char kForceKey[] = "SOFTWARE\\Korvane\\KVLumen\\ForceToOutOfProc";
const char kSpoolKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager";

// The string value `name` of HKLM\key; empty when it cannot be read.
std::string ReadString(const std::string& key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return std::string();
    char buffer[512] = {};
    DWORD size = sizeof(buffer) - 1;
    LONG rc = RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS ? std::string(buffer) : std::string();
}

// One event's look-ups; false when an answer is missing.
bool OneRound() {
    CLSID clsid;
    if (CLSIDFromProgID(kProgIdWide, &clsid) != S_OK) return false;
    HKEY force = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kForceKey, 0, KEY_READ, &force) != ERROR_SUCCESS) return false;
    char value[64];
    DWORD size = sizeof(value);
    LONG rc = RegQueryValueExA(force, kProgId, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(force);
    if (rc != ERROR_FILE_NOT_FOUND) return false;  // not forced: the usual case
    std::string server = std::string("SOFTWARE\\Classes\\CLSID\\") + kClsidText + "\\InprocServer32";
    return !ReadString(server, nullptr).empty() && !ReadString(kSpoolKey, "spool").empty();
}

double NanosecondsPerRound(int rounds, int threads) {
    std::atomic<bool> allFound{true};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds / threads; ++i)
                if (!OneRound()) allFound = false;
        });
    }
    for (std::thread& worker : workers) worker.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!allFound) return -1;
    return seconds * 1e9 / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200000;
    std::vector<int> threadCounts;
    for (int i = 2; i < argc; ++i) threadCounts.push_back(atoi(argv[i]));
    if (threadCounts.empty()) threadCounts = {1, 4};
    if (rounds <= 0) rounds = 200000;

    // A folder of its own, as a store has when installed.
    std::string folder = "/tmp/kv-registry-bench-" + std::to_string(GetCurrentProcessId());
    std::string store = folder + "/registry.reg";
    setenv("KVLUMEN_REGISTRY", store.c_str(), 1);
    // A store the size of a registered machine's: the event manager, and a few hundred classes.
    bool filled = SetMachineString(std::string("SOFTWARE\\Classes\\") + kProgId + "\\CLSID", nullptr, kClsidText) &&
                  SetMachineString(std::string("SOFTWARE\\Classes\\CLSID\\") + kClsidText + "\\InprocServer32",
                            nullptr, "/usr/lib/kvlumen/KVEvBench.so") &&
                  SetMachineString(kForceKey, "KVLUMEN.Other", "1") &&
                  SetMachineString(kSpoolKey, "spool", "/var/spool/kvlumen");
    for (int i = 0; filled && i < 300; ++i) {
        char name[96];
        snprintf(name, sizeof(name), "SOFTWARE\\Classes\\CLSID\\{%08X-0000-4000-8000-000000000000}\\InprocServer32", i);
        filled = SetMachineString(name, nullptr, "/usr/lib/other/module.so");
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (!filled || !OneRound()) {
        fprintf(stderr, "registry_bench: the store could not be filled or read\n");
        return 1;
    }
    printf("%-8s %10s %14s\n", "threads", "rounds", "ns per round");
    int failures = 0;
    for (int threads : threadCounts) {
        double ns = NanosecondsPerRound(rounds, threads > 0 ? threads : 1);
        if (ns < 0) ++failures;
        printf("%-8d %10d %14.0f%s\n", threads, rounds, ns, ns < 0 ? "  (an answer was missing)" : "");
        fflush(stdout);
    }
    // Whatever the cache does, a change made to the file by hand is seen by the next look-up.
    if (FILE* file = fopen(store.c_str(), "a")) {
        fprintf(file, "\n[HKEY_LOCAL_MACHINE\\%s]\n\"spool\"=\"/var/spool/changed\"\n", kSpoolKey);
        fclose(file);
    }
    if (ReadString(kSpoolKey, "spool") != "/var/spool/changed") {
        fprintf(stderr, "registry_bench: a change was not seen\n");
        ++failures;
    }
    CoUninitialize();
    remove(store.c_str());
    remove((store + ".lock").c_str());
    remove(folder.c_str());
    return failures ? 1 : 0;
}
