// SpoolBench.cpp -- times deliveries straight into the spool event manager, without the network.
//
//   spool_bench [events] [threads] [bytes]      (default: 2000 8 2048)
//
// Loads KVEvSpool from next to this program, points it at a fresh temporary folder and has
// `threads` threads deliver `events` distinct messages of `bytes` bytes, one event manager object
// per message as the listener creates them. Prints events/s and checks that every message became
// exactly one file, and removes the folder. Run it under `strace -c -f` to count the system calls per event.
//
// First it times the disk itself, one message at a time without the spool: a new file of `bytes`
// bytes flushed (FlushFileBuffers), renamed, and its folder flushed; the medians of 50 such
// rounds are the least a durable message costs here when nothing is shared.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "IEventManagerEx.h"

namespace {

const char kSpoolKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager";

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Medians of a file's flush and of its folder's flush after a rename, in ms; false on a failure.
bool TimeTheDisk(const std::string& folder, int bytes, double* fileMs, double* folderMs) {
    const std::string data(static_cast<size_t>(bytes), 'd');
    std::vector<double> files, folders;
    for (int round = 0; round < 50; ++round) {
        const std::string temporary = folder + "disk-probe.tmp";
        const std::string named = folder + "disk-probe-" + std::to_string(round);
        HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        auto start = std::chrono::steady_clock::now();
        ok = ok && FlushFileBuffers(file);
        files.push_back(MillisecondsSince(start));
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        ok = ok && MoveFileExA(temporary.c_str(), named.c_str(), 0);
        HANDLE self = CreateFileA(folder.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        start = std::chrono::steady_clock::now();
        ok = ok && self != INVALID_HANDLE_VALUE && FlushFileBuffers(self);
        folders.push_back(MillisecondsSince(start));
        if (self != INVALID_HANDLE_VALUE) CloseHandle(self);
        DeleteFileA(named.c_str());
        DeleteFileA(temporary.c_str());
        if (!ok) return false;
    }
    *fileMs = Median(files);
    *folderMs = Median(folders);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? atoi(argv[1]) : 2000;
    const int threads = argc > 2 ? atoi(argv[2]) : 8;
    const int bytes = argc > 3 ? atoi(argv[3]) : 2048;
    if (events <= 0 || threads <= 0 || bytes < 16) {
        fprintf(stderr, "usage: spool_bench [events] [threads] [bytes >= 16]\n");
        return 2;
    }
    std::string spool = MakeBenchFolder("kv-spool-bench-");
    double fileMs = 0, folderMs = 0;
    if (!TimeTheDisk(spool, bytes, &fileMs, &folderMs)) {
        fprintf(stderr, "spool_bench: cannot write into %s\n", spool.c_str());
        RemoveBenchFolder(spool);
        return 1;
    }
    printf("this disk, one message at a time: flushing a new file of %d bytes %.2f ms, its folder after a rename %.2f ms (medians of 50)\n",
           bytes, fileMs, folderMs);
    std::string module = ModuleBesideSelf("KVEvSpool");
    if (!SetMachineString(kSpoolKey, "spool", spool)) {
        fprintf(stderr, "spool_bench: cannot write the spool setting\n");
        return 1;
    }
    HMODULE spooler = LoadLibraryA(module.c_str());
    auto getClassObject = spooler ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
                                        reinterpret_cast<void*>(GetProcAddress(spooler, "DllGetClassObject")))
                                  : nullptr;
    // The spool's class identifier; the bench needs no registration.
    const CLSID spoolClass = {0x5E1C3A3B, 0x7A9D, 0x4C61, {0x9B, 0x8E, 0x2F, 0x4D, 0x6A, 0x0C, 0x9E, 0x11}};
    IClassFactory* factory = nullptr;
    if (!getClassObject || FAILED(getClassObject(spoolClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        fprintf(stderr, "spool_bench: cannot load %s\n", module.c_str());
        return 1;
    }

    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            std::wstring message(static_cast<size_t>(bytes), L'x');
            for (int i; (i = next.fetch_add(1)) < events;) {
                wchar_t tag[16];
                swprintf(tag, 16, L"%010d", i);
                message.replace(0, 10, tag);
                BSTR text = SysAllocStringLen(message.c_str(), static_cast<UINT>(message.size()));
                IEventManagerEx* manager = nullptr;
                BSTR response = nullptr;
                if (FAILED(factory->CreateInstance(nullptr, IID_IEventManagerEx, reinterpret_cast<void**>(&manager))) ||
                    FAILED(manager->Deliver(text, &response))) {
                    ++failed;
                }
                SysFreeString(response);
                if (manager) manager->Release();
                SysFreeString(text);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    factory->Release();

    size_t stored = CountSpooled(spool);
    printf("%d events of %d bytes from %d threads: %.0f events/s, %.1f us per event (wall); %zu files, %d failed\n",
           events, bytes, threads, events / seconds, seconds * 1e6 / events, stored, failed.load());
    RemoveBenchFolder(spool);
    return stored == static_cast<size_t>(events) && failed == 0 ? 0 : 1;
}
