// NullEventManager.cpp -- an event manager that does nothing but count, so that a benchmark weighs the listener alone.
//
// Registered as "KVLUMEN.EventManagerEx" in place of the spool manager. When the REG_SZ value
// "counter" under HKLM\SOFTWARE\Korvane\KVLumen\NullEventManager names a file, the first creation
// in a process maps it, and every Deliver adds one to its first 64-bit number and the message's
// length in characters (up to its first NUL) to its second: a benchmark reads the file while the
// listener runs and checks that every answered request was delivered once, whole. The counter
// costs an atomic addition per delivery; nothing else happens.
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <new>

#include "IEventManagerEx.h"
#include "InprocServer.h"
#include "NeverDestroyed.h"
#include "RegistryValue.h"

#ifdef _WIN32
#define KV_MODULE_EXPORT
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#define KV_MODULE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" const CLSID CLSID_NullEventManager = {0x3F0B7C52, 0x9E14, 0x4A2D, {0xB6, 0x0F, 0x71, 0x2C, 0x5D, 0x88, 0x1E, 0x43}};

namespace {

const char kProgId[] = "KVLUMEN.EventManagerEx";
const char kConfigKey[] = "SOFTWARE\\Korvane\\KVLumen\\NullEventManager";
const char kCounterValue[] = "counter";
const size_t kCounterBytes = 2 * sizeof(uint64_t);

// The mapped counter file. The view is kept for the life of the process: handlers that deliver
// while the process exits, after the static destructors ran, must still find it.
class CounterFile {
public:
    void MapOnce() {
        std::call_once(mMapped, [this] { mCounts = Map(ConfiguredPath()); });
    }

    void Count(uint64_t characters) {
        if (!mCounts) return;
#ifdef _WIN32
        InterlockedIncrement64(reinterpret_cast<LONG64 volatile*>(&mCounts[0]));
        InterlockedExchangeAdd64(reinterpret_cast<LONG64 volatile*>(&mCounts[1]), static_cast<LONG64>(characters));
#else
        __atomic_fetch_add(&mCounts[0], 1, __ATOMIC_RELAXED);
        __atomic_fetch_add(&mCounts[1], characters, __ATOMIC_RELAXED);
#endif
    }

private:
    static std::string ConfiguredPath() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::string();
        char path[MAX_PATH * 4] = {};
        DWORD size = sizeof(path);
        LONG rc = QueryStringValue(key, kCounterValue, path, &size);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? std::string(path) : std::string();
    }

    // The file's counters, created as zeros when the file is new; null when it cannot be mapped.
    static uint64_t* Map(const std::string& path) {
        if (path.empty()) return nullptr;
#ifdef _WIN32
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return nullptr;
        HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(kCounterBytes), nullptr);
        CloseHandle(file);
        if (!mapping) return nullptr;
        void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kCounterBytes);
        CloseHandle(mapping);  // the view keeps the mapping
        return static_cast<uint64_t*>(view);
#else
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return nullptr;
        void* view = MAP_FAILED;
        if (ftruncate(fd, static_cast<off_t>(kCounterBytes)) == 0)
            view = mmap(nullptr, kCounterBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);  // the mapping keeps the file
        return view == MAP_FAILED ? nullptr : static_cast<uint64_t*>(view);
#endif
    }

    std::once_flag mMapped;
    uint64_t* mCounts = nullptr;
};

NeverDestroyed<CounterFile> gCounter;

class CNullEventManager : public SingleInterfaceObject<IEventManagerEx> {
public:
    static HRESULT Create(REFIID iid, void** object) {
        gCounter.get().MapOnce();
        CNullEventManager* created = new (std::nothrow) CNullEventManager();
        if (!created) return E_OUTOFMEMORY;
        HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) override {
        gCounter.get().Count(message ? wcslen(message) : 0);
        if (response) *response = nullptr;
        return S_OK;
    }

private:
    CNullEventManager() : SingleInterfaceObject(IID_IEventManagerEx) {}
};

SimpleClassFactory<CNullEventManager> gFactory;

}  // namespace

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_NullEventManager)) return CLASS_E_CLASSNOTAVAILABLE;
    return gFactory.QueryInterface(iid, object);
}

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return gInprocServerLocks.load() == 0 ? S_OK : S_FALSE; }

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    return RegisterInprocServer(CLSID_NullEventManager, kProgId, "KVLumen do-nothing event manager (benchmarks)");
}

extern "C" KV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return UnregisterInprocServer(CLSID_NullEventManager, kProgId);
}
