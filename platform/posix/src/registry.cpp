// registry.cpp -- the Win32 registry functions (A variants) and the store's import and export.
#include <windows.h>

#include "RegistryStore.h"
#include "RegistryText.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

// An open key: its path from the top of the store and the access it was opened with. The path,
// not the key, is what a handle holds: the tree is parsed anew whenever another process changes
// the file.
struct HKEY__ {
    std::vector<std::string> path;
    REGSAM access;
};

using kvreg::RegKey;
using kvreg::RegistryStore;
using kvreg::RegValue;

namespace {

// Value names are limited like the system's; enumeration callers size their buffers for it.
const size_t kMaxValueNameLength = 16383;

struct KeyRef {
    std::vector<std::string> path;
    REGSAM access = 0;
    bool predefined = false;
};

// Live handles: a closed or invented HKEY is refused instead of being dereferenced.
std::mutex& HandlesMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::unordered_set<HKEY>& Handles() {
    static auto* handles = new std::unordered_set<HKEY>;
    return *handles;
}

bool PredefinedPath(HKEY hKey, std::vector<std::string>& path) {
    const char* root = nullptr;
    if (hKey == HKEY_LOCAL_MACHINE) root = "HKLM";
    else if (hKey == HKEY_CURRENT_USER) root = "HKCU";
    else if (hKey == HKEY_USERS) root = "HKU";
    else if (hKey == HKEY_CLASSES_ROOT) root = "HKCR";
    return root && kvreg::RootPath(root, path);
}

LSTATUS Resolve(HKEY hKey, KeyRef& ref) {
    if (PredefinedPath(hKey, ref.path)) {
        ref.access = KEY_ALL_ACCESS;
        ref.predefined = true;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(HandlesMutex());
    if (!hKey || Handles().count(hKey) == 0) return ERROR_INVALID_HANDLE;
    ref.path = hKey->path;
    ref.access = hKey->access;
    ref.predefined = false;
    return ERROR_SUCCESS;
}

REGSAM EffectiveAccess(REGSAM desired) {
    REGSAM access = desired & ~static_cast<REGSAM>(KEY_WOW64_RES);
    if (desired & MAXIMUM_ALLOWED) access |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ) access |= KEY_READ;
    if (desired & GENERIC_WRITE) access |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (desired & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    return access;
}

HKEY NewHandle(std::vector<std::string> path, REGSAM access) {
    HKEY handle = new HKEY__{std::move(path), access};
    std::lock_guard<std::mutex> lock(HandlesMutex());
    try {
        Handles().insert(handle);
    } catch (...) {
        delete handle;
        throw;
    }
    return handle;
}

// The key a handle names, for reading. A predefined key always exists, empty when the store has
// nothing under it yet.
const RegKey* KeyForRead(const RegKey& top, const KeyRef& ref) {
    static const RegKey* const kEmpty = new RegKey;
    const RegKey* key = top.Find(ref.path);
    if (!key && ref.predefined) return kEmpty;
    return key;
}

// The key a handle names, for changing; predefined keys are created on first use.
RegKey* KeyForWrite(RegKey& top, const KeyRef& ref, bool& changed) {
    if (!ref.predefined) return top.Find(ref.path);
    bool created = false;
    RegKey* key = &top;
    for (const std::string& part : ref.path) {
        key = &key->EnsureSubkey(part, &created);
        changed |= created;
    }
    return key;
}

std::string NameOf(LPCSTR name) { return name ? std::string(name) : std::string(); }

bool IsWritableName(const std::string& name) {
    return name.size() <= kMaxValueNameLength && name.find_first_of("\r\n") == std::string::npos;
}

// Entry points never let an exception out into C callers.
template <typename Body>
LSTATUS Guarded(Body body) {
    try {
        return body();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

void PutFileTime(struct _FILETIME* out, ULONGLONG time) {
    if (!out) return;
    DWORD parts[2] = {static_cast<DWORD>(time & 0xFFFFFFFFu), static_cast<DWORD>(time >> 32)};
    memcpy(static_cast<void*>(out), parts, sizeof(parts));
}

// Copies `data` out the way RegQueryValueEx does: size only without a buffer, ERROR_MORE_DATA
// with the needed size when the buffer is short.
LSTATUS CopyData(const std::string& data, LPBYTE buffer, LPDWORD size) {
    LSTATUS rc = ERROR_SUCCESS;
    if (buffer) {
        if (*size < data.size()) rc = ERROR_MORE_DATA;
        else if (!data.empty()) memcpy(buffer, data.data(), data.size());
    }
    if (size) *size = static_cast<DWORD>(data.size());
    return rc;
}

// A value of the key `ref` names, or of its subkey `parts`, in one look at the store.
LSTATUS QueryValueBelow(const KeyRef& ref, const std::vector<std::string>& parts, const std::string& name,
                        DWORD& type, std::string& data) {
    return RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG) -> LSTATUS {
        const RegKey* key = KeyForRead(top, ref);
        if (!key) return ERROR_KEY_DELETED;
        for (const std::string& part : parts) {
            key = key->FindSubkey(part);
            if (!key) return ERROR_FILE_NOT_FOUND;
        }
        const RegValue* value = key->FindValue(name);
        if (!value) return ERROR_FILE_NOT_FOUND;
        type = value->type;
        data = value->data;
        return ERROR_SUCCESS;
    });
}

LSTATUS QueryValue(HKEY hKey, const std::string& name, DWORD& type, std::string& data) {
    KeyRef ref;
    LSTATUS rc = Resolve(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return QueryValueBelow(ref, {}, name, type, data);
}

// %NAME% replaced by the variable's value; unknown names stay as they are, as on Windows.
std::string ExpandEnvironment(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t open = text.find('%', i);
        size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, i, std::string::npos);
            break;
        }
        out.append(text, i, open - i);
        std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : getenv(name.c_str());
        if (value) {
            out += value;
            i = close + 1;
        } else {
            out.append(text, open, close - open);  // keep "%NAME"; the closing % may open the next
            i = close;
        }
    }
    return out;
}

DWORD TypeFlag(DWORD type) {
    switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return RRF_RT_ANY;
    }
}

LSTATUS GetValue(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                 LPDWORD pcbData) {
    DWORD type = REG_NONE;
    std::string data;
    LSTATUS rc = ERROR_SUCCESS;
    if (lpSubKey && *lpSubKey) {
        // As opening the subkey for KEY_QUERY_VALUE and querying it would, without a handle.
        KeyRef ref;
        std::vector<std::string> parts;
        rc = Resolve(hkey, ref);
        if (rc == ERROR_SUCCESS) rc = kvreg::SplitKeyPath(lpSubKey, parts);
        if (rc == ERROR_SUCCESS) rc = QueryValueBelow(ref, parts, NameOf(lpValue), type, data);
    } else {
        rc = QueryValue(hkey, NameOf(lpValue), type, data);
    }
    if (rc != ERROR_SUCCESS) return rc;

    if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
        data = ExpandEnvironment(data.substr(0, data.find('\0'))) + '\0';
        type = REG_SZ;
    }
    if (!(dwFlags & TypeFlag(type))) return ERROR_UNSUPPORTED_TYPE;
    if (type == REG_BINARY && (dwFlags & RRF_RT_ANY) != RRF_RT_ANY) {
        // Binary data pass for a DWORD or QWORD only with that number's size.
        size_t expected = (dwFlags & RRF_RT_DWORD) == RRF_RT_DWORD   ? 4
                          : (dwFlags & RRF_RT_QWORD) == RRF_RT_QWORD ? 8
                                                                     : 0;
        if (expected && data.size() != expected) return ERROR_DATATYPE_MISMATCH;
    }
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && (data.empty() || data.back() != '\0'))
        data += '\0';
    if (pdwType) *pdwType = type;
    return CopyData(data, static_cast<LPBYTE>(pvData), pcbData);
}

LSTATUS ReadFileBytes(const char* path, std::string& bytes) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTREAD;
    char buffer[16384];
    LSTATUS rc = ERROR_SUCCESS;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) rc = ERROR_CANTREAD;
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return rc;
}

LSTATUS WriteFileBytes(const char* path, const std::string& bytes) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_CANTWRITE;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == bytes.size();
    if (close(fd) != 0) ok = false;
    if (!ok) unlink(path);  // no half-written export left behind
    return ok ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

// The full path, in its stored case, of the existing key `parts` below `ref`.
LSTATUS FindExisting(const KeyRef& ref, const std::vector<std::string>& parts, std::vector<std::string>& found) {
    return RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG) -> LSTATUS {
        const RegKey* key = KeyForRead(top, ref);
        if (!key) return ERROR_KEY_DELETED;
        found = ref.path;
        for (const std::string& part : parts) {
            key = key->FindSubkey(part);
            if (!key) return ERROR_FILE_NOT_FOUND;
            found.push_back(key->name());
        }
        return ERROR_SUCCESS;
    });
}

}  // namespace

extern "C" {

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        std::vector<std::string> parts;
        rc = kvreg::SplitKeyPath(lpSubKey, parts);
        if (rc != ERROR_SUCCESS) return rc;
        if (parts.empty() && ref.predefined) {
            *phkResult = hKey;  // as on Windows: a predefined key opens as itself
            return ERROR_SUCCESS;
        }
        std::vector<std::string> found;
        rc = FindExisting(ref, parts, found);
        if (rc != ERROR_SUCCESS) return rc;
        *phkResult = NewHandle(std::move(found), EffectiveAccess(samDesired));
        return ERROR_SUCCESS;
    });
}

LSTATUS RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        *phkResult = rc == ERROR_SUCCESS ? hKey : nullptr;  // the old call hands back the same handle
        return rc;
    }
    return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions & (REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
        return ERROR_NOT_SUPPORTED;  // no volatile keys and no links in a file store
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        std::vector<std::string> parts;
        rc = kvreg::SplitKeyPath(lpSubKey, parts);
        if (rc != ERROR_SUCCESS) return rc;
        if (parts.empty() && ref.predefined) {
            *phkResult = hKey;
            if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
            return ERROR_SUCCESS;
        }
        std::vector<std::string> found;
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        // Most calls open a key that exists: that needs neither the lock nor a write.
        rc = FindExisting(ref, parts, found);
        if (rc == ERROR_FILE_NOT_FOUND) {
            rc = RegistryStore::Instance().Write([&](RegKey& top, bool& changed) -> LSTATUS {
                RegKey* key = KeyForWrite(top, ref, changed);
                if (!key) return ERROR_KEY_DELETED;
                found = ref.path;
                bool created = false;
                for (const std::string& part : parts) {
                    key = &key->EnsureSubkey(part, &created);
                    changed |= created;
                    found.push_back(key->name());
                }
                disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
                return ERROR_SUCCESS;
            });
        }
        if (rc != ERROR_SUCCESS) return rc;
        *phkResult = NewHandle(std::move(found), EffectiveAccess(samDesired));
        if (lpdwDisposition) *lpdwDisposition = disposition;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr,
                           phkResult, nullptr);
}

LSTATUS RegCloseKey(HKEY hKey) {
    std::vector<std::string> path;
    if (PredefinedPath(hKey, path)) return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(HandlesMutex());
        if (!hKey || Handles().erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY hKey) {
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        return Resolve(hKey, ref);
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        DWORD type = REG_NONE;
        std::string data;
        LSTATUS rc = QueryValue(hKey, NameOf(lpValueName), type, data);
        if (rc != ERROR_SUCCESS) return rc;
        if (lpType) *lpType = type;
        return CopyData(data, lpData, lpcbData);
    });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (!lpData && cbData) return ERROR_NOACCESS;
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        std::string name = NameOf(lpValueName);
        if (!IsWritableName(name)) return ERROR_INVALID_PARAMETER;
        std::string data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
        // Registration sets the same values again and again: an unchanged value costs no write.
        bool same = false;
        rc = RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG) -> LSTATUS {
            const RegKey* key = KeyForRead(top, ref);
            if (!key) return ERROR_KEY_DELETED;
            const RegValue* value = key->FindValue(name);
            same = value && value->type == dwType && value->data == data;
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS || same) return rc;
        return RegistryStore::Instance().Write([&](RegKey& top, bool& changed) -> LSTATUS {
            RegKey* key = KeyForWrite(top, ref, changed);
            if (!key) return ERROR_KEY_DELETED;
            changed |= key->SetValue(name, dwType, data);
            return ERROR_SUCCESS;
        });
    });
}

LSTATUS RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData) {
    if (pvData && !pcbData) return ERROR_INVALID_PARAMETER;
    // Asking for REG_EXPAND_SZ as such only makes sense without expansion.
    if ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND) && (dwFlags & RRF_RT_ANY) != RRF_RT_ANY)
        return ERROR_INVALID_PARAMETER;
    DWORD capacity = pcbData ? *pcbData : 0;
    LSTATUS rc = Guarded([&]() { return GetValue(hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData); });
    if (rc != ERROR_SUCCESS && (dwFlags & RRF_ZEROONFAILURE) && pvData) memset(pvData, 0, capacity);
    return rc;
}

LSTATUS RegSetKeyValueA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, DWORD dwType, LPCVOID lpData,
                        DWORD cbData) {
    if (!lpSubKey || !*lpSubKey)
        return RegSetValueExA(hKey, lpValueName, 0, dwType, static_cast<const BYTE*>(lpData), cbData);
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, lpValueName, 0, dwType, static_cast<const BYTE*>(lpData), cbData);
    RegCloseKey(key);
    return rc;
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        std::string name = NameOf(lpValueName);
        return RegistryStore::Instance().Write([&](RegKey& top, bool& changed) -> LSTATUS {
            RegKey* key = top.Find(ref.path);
            if (!key) return ref.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
            changed = key->RemoveValue(name);
            return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        });
    });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        std::vector<std::string> parts;
        rc = kvreg::SplitKeyPath(lpSubKey, parts);
        if (rc != ERROR_SUCCESS) return rc;
        if (parts.empty() && ref.predefined) return ERROR_ACCESS_DENIED;  // a root stays
        std::vector<std::string> target = ref.path;
        target.insert(target.end(), parts.begin(), parts.end());
        return RegistryStore::Instance().Write([&](RegKey& top, bool& changed) -> LSTATUS {
            if (!ref.predefined && !top.Find(ref.path)) return ERROR_KEY_DELETED;
            std::vector<std::string> parentPath(target.begin(), target.end() - 1);
            RegKey* parent = top.Find(parentPath);
            RegKey* key = parent ? parent->FindSubkey(target.back()) : nullptr;
            if (!key) return ERROR_FILE_NOT_FOUND;
            if (!key->subkeys().empty() || target.size() < 2) return ERROR_ACCESS_DENIED;
            changed = parent->RemoveSubkey(target.back());
            return ERROR_SUCCESS;
        });
    });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        std::vector<std::string> parts;
        rc = kvreg::SplitKeyPath(lpSubKey, parts);
        if (rc != ERROR_SUCCESS) return rc;
        if (parts.empty() && (ref.predefined || !(ref.access & KEY_SET_VALUE))) return ERROR_ACCESS_DENIED;
        std::vector<std::string> target = ref.path;
        target.insert(target.end(), parts.begin(), parts.end());
        return RegistryStore::Instance().Write([&](RegKey& top, bool& changed) -> LSTATUS {
            if (!ref.predefined && !top.Find(ref.path)) return ERROR_KEY_DELETED;
            RegKey* key = top.Find(target);
            if (!key) return ERROR_FILE_NOT_FOUND;
            if (parts.empty()) {
                // Without a subkey the key itself stays and only loses what it holds.
                changed = !key->values().empty() || !key->subkeys().empty();
                key->Clear();
                return ERROR_SUCCESS;
            }
            std::vector<std::string> parentPath(target.begin(), target.end() - 1);
            changed = top.Find(parentPath)->RemoveSubkey(target.back());
            return ERROR_SUCCESS;
        });
    });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, struct _FILETIME* lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(ref.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        std::string name;
        ULONGLONG lastWrite = 0;
        rc = RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG time) -> LSTATUS {
            const RegKey* key = KeyForRead(top, ref);
            if (!key) return ERROR_KEY_DELETED;
            if (dwIndex >= key->subkeys().size()) return ERROR_NO_MORE_ITEMS;
            auto it = key->subkeys().begin();
            std::advance(it, dwIndex);
            name = it->second->name();
            lastWrite = time;
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
        if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
        memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpcchClass) {
            if (lpClass && *lpcchClass > 0) lpClass[0] = '\0';
            *lpcchClass = 0;
        }
        PutFileTime(lpftLastWriteTime, lastWrite);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        RegValue value;
        rc = RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG) -> LSTATUS {
            const RegKey* key = KeyForRead(top, ref);
            if (!key) return ERROR_KEY_DELETED;
            if (dwIndex >= key->values().size()) return ERROR_NO_MORE_ITEMS;
            value = key->values()[dwIndex];
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
        if (value.name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
        memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
        *lpcchValueName = static_cast<DWORD>(value.name.size());
        if (lpType) *lpType = value.type;
        return CopyData(value.data, lpData, lpcbData);
    });
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         struct _FILETIME* lpftLastWriteTime) {
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        KeyRef ref;
        LSTATUS rc = Resolve(hKey, ref);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
        ULONGLONG lastWrite = 0;
        rc = RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG time) -> LSTATUS {
            const RegKey* key = KeyForRead(top, ref);
            if (!key) return ERROR_KEY_DELETED;
            subkeys = static_cast<DWORD>(key->subkeys().size());
            for (const auto& entry : key->subkeys())
                if (entry.second->name().size() > maxSubkey) maxSubkey = static_cast<DWORD>(entry.second->name().size());
            values = static_cast<DWORD>(key->values().size());
            for (const RegValue& value : key->values()) {
                if (value.name.size() > maxName) maxName = static_cast<DWORD>(value.name.size());
                if (value.data.size() > maxData) maxData = static_cast<DWORD>(value.data.size());
            }
            lastWrite = time;
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
        if (lpcchClass) {
            if (lpClass && *lpcchClass > 0) lpClass[0] = '\0';
            *lpcchClass = 0;
        }
        if (lpcSubKeys) *lpcSubKeys = subkeys;
        if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSubkey;
        if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
        if (lpcValues) *lpcValues = values;
        if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
        if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
        PutFileTime(lpftLastWriteTime, lastWrite);
        return ERROR_SUCCESS;
    });
}

// ---- The store ----------------------------------------------------------------------------------

LSTATUS KvRegSetStorePath(LPCSTR path) {
    return Guarded([&]() -> LSTATUS {
        RegistryStore::Instance().SetPathOverride(path);
        return ERROR_SUCCESS;
    });
}

DWORD KvRegGetStorePath(LPSTR buffer, DWORD size) {
    try {
        std::string path = RegistryStore::Instance().Path();
        if (buffer && size > path.size()) memcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    } catch (...) {
        return 0;
    }
}

LSTATUS KvRegCheckStore(LPSTR description, DWORD size) {
    return Guarded([&]() -> LSTATUS {
        std::string text;
        LSTATUS rc = RegistryStore::Instance().Check(text);
        if (description && size > 0) {
            size_t n = text.size() < size - 1 ? text.size() : size - 1;
            memcpy(description, text.data(), n);
            description[n] = '\0';
        }
        return rc;
    });
}

LSTATUS KvRegImportFile(LPCSTR path) {
    if (!path) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        std::string bytes;
        LSTATUS rc = ReadFileBytes(path, bytes);
        if (rc != ERROR_SUCCESS) return rc;
        std::string text = kvreg::DecodeRegFileBytes(bytes);
        if (!kvreg::HasRegHeader(text)) return ERROR_BAD_FORMAT;
        kvreg::RegTextSummary summary;
        rc = RegistryStore::Instance().Write([&](RegKey& top, bool& changed) -> LSTATUS {
            summary = kvreg::ApplyRegText(text, top);
            changed = true;
            return ERROR_SUCCESS;
        });
        return rc == ERROR_SUCCESS && summary.unknownRoots > 0 ? ERROR_INVALID_HANDLE : rc;
    });
}

LSTATUS KvRegExportKey(LPCSTR keyPath, LPCSTR file) {
    if (!file) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        bool whole = !keyPath || !*keyPath;
        std::vector<std::string> path;
        if (!whole) {
            LSTATUS rc = kvreg::ParseFullKeyPath(keyPath, path);
            if (rc != ERROR_SUCCESS) return rc;
        }
        std::string text;
        LSTATUS rc = RegistryStore::Instance().Read([&](const RegKey& top, ULONGLONG) -> LSTATUS {
            if (whole) {
                text = kvreg::FormatStoreText(top);
                return ERROR_SUCCESS;
            }
            const RegKey* key = &top;
            std::vector<std::string> found;
            for (const std::string& part : path) {
                key = key->FindSubkey(part);
                if (!key) break;
                found.push_back(key->name());
            }
            if (key) {
                text = kvreg::FormatKeyText(*key, found);
            } else if (path.size() == 1) {
                RegKey empty(path[0]);  // a root always exists, even with nothing in it yet
                text = kvreg::FormatKeyText(empty, path);
            } else {
                return ERROR_FILE_NOT_FOUND;
            }
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
        return WriteFileBytes(file, text);
    });
}

}  // extern "C"
