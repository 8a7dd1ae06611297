// SpoolEventManager.cpp -- the spool event manager object: one file per delivered message.
#include "SpoolEventManager.h"

#include <string>

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
