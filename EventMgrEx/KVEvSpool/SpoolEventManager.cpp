// SpoolEventManager.cpp -- spooling delivered messages to files, atomically and in arrival order.
#include "SpoolEventManager.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <atomic>

#include "InprocServer.h"
#include "RegistryValue.h"

extern "C" const CLSID CLSID_SpoolEventManager = {0x5E1C3A3B, 0x7A9D, 0x4C61, {0x9B, 0x8E, 0x2F, 0x4D, 0x6A, 0x0C, 0x9E, 0x11}};

namespace {

const char kConfigKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager";
const char kSpoolValue[] = "spool";
const char kSequenceFile[] = ".sequence";
const DWORD kSequenceWaitMs = 10000;

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) return folder + name;
    return folder + kSeparator + name;
}

std::string SpoolFolder() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::string();
    char folder[MAX_PATH * 4] = {};
    DWORD size = sizeof(folder);
    LONG rc = QueryStringValue(key, kSpoolValue, folder, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(folder) : std::string();
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(bytes.size() - done > (1u << 30) ? (1u << 30) : bytes.size() - done);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

// The next number of the folder's sequence, shared by every process that spools there: the
// counter file is read and advanced under a named mutex derived from the folder.
bool NextSequence(const std::string& folder, unsigned long long* number) {
    std::string mutexName = "KV_SPOOL_SEQUENCE-";
    for (char c : folder) mutexName += (isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : '_');
    HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
    if (!mutex) return false;
    DWORD wait = WaitForSingleObject(mutex, kSequenceWaitMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return false;
    }
    bool ok = false;
    HANDLE file = CreateFileA(Join(folder, kSequenceFile).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char text[32] = {};
        DWORD got = 0;
        ReadFile(file, text, sizeof(text) - 1, &got, nullptr);
        text[got] = '\0';
        unsigned long long current = strtoull(text, nullptr, 10);
        char next[32];
        int n = snprintf(next, sizeof(next), "%llu", current + 1);
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        DWORD written = 0;
        if (WriteFile(file, next, static_cast<DWORD>(n), &written, nullptr) && written == static_cast<DWORD>(n) &&
            SetEndOfFile(file)) {
            *number = current + 1;
            ok = true;
        }
        CloseHandle(file);
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return ok;
}

}  // namespace

std::string CSpoolEventManager::SpoolMessage(const std::string& folder, const std::string& bytes) {
    if (folder.empty()) return std::string();
    static std::atomic<unsigned long> temporaries{0};
    char tempName[96];
    snprintf(tempName, sizeof(tempName), ".incoming-%lu-%lu-%lu", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long>(GetCurrentThreadId()), ++temporaries);
    std::string tempPath = Join(folder, tempName);
    HANDLE file = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    bool written = WriteAll(file, bytes) && FlushFileBuffers(file);
    CloseHandle(file);
    if (written) {
        // A name is never reused: a sequence file that was reset or damaged only costs retries.
        for (int attempt = 0; attempt < 1000; ++attempt) {
            unsigned long long number = 0;
            if (!NextSequence(folder, &number)) break;
            char finalName[64];
            snprintf(finalName, sizeof(finalName), "event-%020llu.xml", number);
            std::string finalPath = Join(folder, finalName);
            if (MoveFileExA(tempPath.c_str(), finalPath.c_str(), 0)) return finalPath;
            if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
        }
    }
    DeleteFileA(tempPath.c_str());
    return std::string();
}

HRESULT CSpoolEventManager::Create(REFIID iid, void** object) {
    CSpoolEventManager* created = new (std::nothrow) CSpoolEventManager();
    if (!created) return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

HRESULT CSpoolEventManager::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEventManagerEx)) {
        *object = static_cast<IEventManagerEx*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CSpoolEventManager::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&mRefCount)); }

ULONG CSpoolEventManager::Release() {
    LONG count = InterlockedDecrement(&mRefCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CSpoolEventManager::Deliver(BSTR message, BSTR* response) {
    // Each unit goes back to the byte it was widened from; the message ends at its first NUL.
    std::string bytes;
    if (message) {
        bytes.resize(wcslen(message));
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(message[i] <= 0xFF ? message[i] : '?');
    }
    std::string stored = SpoolMessage(SpoolFolder(), bytes);
    if (response) *response = stored.empty() ? nullptr : SysAllocString(L"<DeliverResult>spooled</DeliverResult>");
    return stored.empty() ? E_FAIL : S_OK;
}
