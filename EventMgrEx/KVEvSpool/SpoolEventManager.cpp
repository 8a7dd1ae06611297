// SpoolEventManager.cpp -- the spool event manager object: one file per delivered message.
#include "SpoolEventManager.h"

#include <string>

#include "ByteText.h"
#include "Logging.h"
#include "NeverDestroyed.h"
#include "RegistryValue.h"
#include "SpoolFolder.h"
#include "UniqueHandle.h"

extern "C" const CLSID CLSID_SpoolEventManager = {0x5E1C3A3B, 0x7A9D, 0x4C61, {0x9B, 0x8E, 0x2F, 0x4D, 0x6A, 0x0C, 0x9E, 0x11}};

namespace {

const char kConfigKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager";
const char kSpoolValue[] = "spool";

// The configured folder; empty (and `*error` says why) when there is none.
std::string SpoolFolderSetting(LONG* error) {
    UniqueRegKey key;
    *error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, key.put());
    if (*error != ERROR_SUCCESS) return std::string();
    char folder[MAX_PATH * 4] = {};
    DWORD size = sizeof(folder);
    *error = QueryStringValue(key.get(), kSpoolValue, folder, &size);
    if (*error == ERROR_SUCCESS && folder[0] == '\0') *error = ERROR_INVALID_DATA;
    return *error == ERROR_SUCCESS ? std::string(folder) : std::string();
}

// Whether a new file can be made in the folder now (made and removed again).
bool TakesFiles(const std::string& folder, DWORD* error) {
    std::string probe = folder + "/.status-probe-" + std::to_string(GetCurrentProcessId()) + "-" +
                        std::to_string(GetCurrentThreadId());
    UniqueFile file(CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        *error = GetLastError();
        return false;
    }
    file.reset();
    DeleteFileA(probe.c_str());
    return true;
}

// The events a reader has not taken yet.
unsigned long FilesWaiting(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "/event-*.xml").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    unsigned long count = 0;
    do {
        ++count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

}  // namespace

EventManagerModule& CSpoolEventManager::Module() {
    // Never destroyed: deliveries may still run while the process exits.
    static NeverDestroyed<EventManagerModule> module("KVEvSpool", CLSID_SpoolEventManager, "KVLumen spool event manager",
                                                     &CSpoolEventManager::Create, &SpoolFolder::ForgetAll);
    return module.get();
}

HRESULT CSpoolEventManager::Deliver(BSTR message, BSTR* response) {
    if (response) *response = nullptr;
    try {
        const std::string bytes = SpoolFolder::MessageBytes(message);
        LONG error = ERROR_SUCCESS;
        const std::string folder = SpoolFolderSetting(&error);
        if (folder.empty()) {
            KVLOG(1, "CSpoolEventManager::Deliver: no spool folder (value \"%s\" of HKLM\\%s, error %ld): a message of %lu bytes is lost",
                  kSpoolValue, kConfigKey, static_cast<long>(error), static_cast<unsigned long>(bytes.size()));
            return E_FAIL;
        }
        if (!SpoolFolder::Open(folder)->Store(bytes)) return E_FAIL;
        if (response) *response = SysAllocString(L"<DeliverResult>spooled</DeliverResult>");
        return S_OK;
    } catch (...) {
        KV_LOG_CAUGHT("CSpoolEventManager::Deliver: Exception occurred");
        return E_FAIL;
    }
}

HRESULT CSpoolEventManager::GetStatus(VARIANT_BOOL* ready, BSTR* summary, BSTR* metrics) {
    if (!ready) return E_POINTER;
    if (summary) *summary = nullptr;
    if (metrics) *metrics = nullptr;
    try {
        LONG error = ERROR_SUCCESS;
        const std::string folder = SpoolFolderSetting(&error);
        DWORD writeError = ERROR_SUCCESS;
        bool writable = !folder.empty() && TakesFiles(folder, &writeError);
        unsigned long waiting = writable ? FilesWaiting(folder) : 0;
        std::string line;
        if (folder.empty())
            line = "no spool folder: the value \"spool\" of HKLM\\" + std::string(kConfigKey) + " (error " +
                   std::to_string(error) + ")";
        else if (!writable)
            line = "spool folder " + folder + ": takes no new file (error " + std::to_string(writeError) + ")";
        else
            line = "spool folder " + folder + ": writable, " + std::to_string(waiting) + " event(s) waiting";
        std::string figures =
            "# HELP kvlumen_spool_ready 1 when the spool folder takes new files.\n# TYPE kvlumen_spool_ready gauge\n"
            "kvlumen_spool_ready " + std::string(writable ? "1" : "0") +
            "\n# HELP kvlumen_spool_files_waiting Events in the spool folder that no reader has taken yet.\n"
            "# TYPE kvlumen_spool_files_waiting gauge\nkvlumen_spool_files_waiting " + std::to_string(waiting) + "\n";
        *ready = writable ? VARIANT_TRUE : VARIANT_FALSE;
        if (summary) *summary = AllocBstrFromBytes(line.data(), line.size());
        if (metrics) *metrics = AllocBstrFromBytes(figures.data(), figures.size());
        return S_OK;
    } catch (...) {
        KV_LOG_CAUGHT("CSpoolEventManager::GetStatus: Exception occurred");
        return E_FAIL;
    }
}
