// registry_tree.cpp -- the in-memory registry tree and the parsing of key paths.
#include "RegistryTree.h"

namespace kvreg {

const char kMachineRoot[] = "HKEY_LOCAL_MACHINE";
const char kUserRoot[] = "HKEY_CURRENT_USER";
const char kUsersRoot[] = "HKEY_USERS";

namespace {

inline unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

// Longest key name the system accepts; enumeration buffers of callers are sized for it.
const size_t kMaxKeyNameLength = 255;

}  // namespace

int CompareNoCase(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = Upper(static_cast<unsigned char>(a[i]));
        unsigned char y = Upper(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

RegKey* RegKey::FindSubkey(const std::string& name) const {
    auto it = mSubkeys.find(name);
    return it == mSubkeys.end() ? nullptr : it->second.get();
}

RegKey& RegKey::EnsureSubkey(const std::string& name, bool* created) {
    auto it = mSubkeys.find(name);
    if (created) *created = (it == mSubkeys.end());
    if (it != mSubkeys.end()) return *it->second;
    auto key = std::make_unique<RegKey>(name);
    RegKey& result = *key;
    mSubkeys.emplace(name, std::move(key));
    return result;
}

bool RegKey::RemoveSubkey(const std::string& name) { return mSubkeys.erase(name) != 0; }

const RegValue* RegKey::FindValue(const std::string& name) const {
    for (const RegValue& value : mValues)
        if (EqualNoCase(value.name, name)) return &value;
    return nullptr;
}

bool RegKey::SetValue(const std::string& name, DWORD type, const std::string& data) {
    for (RegValue& value : mValues) {
        if (!EqualNoCase(value.name, name)) continue;
        if (value.type == type && value.data == data) return false;
        value.type = type;
        value.data = data;
        return true;
    }
    mValues.push_back(RegValue{name, type, data});
    return true;
}

bool RegKey::RemoveValue(const std::string& name) {
    for (auto it = mValues.begin(); it != mValues.end(); ++it) {
        if (EqualNoCase(it->name, name)) {
            mValues.erase(it);
            return true;
        }
    }
    return false;
}

void RegKey::Clear() {
    mValues.clear();
    mSubkeys.clear();
}

const RegKey* RegKey::Find(const std::vector<std::string>& path) const {
    const RegKey* key = this;
    for (const std::string& part : path) {
        key = key->FindSubkey(part);
        if (!key) return nullptr;
    }
    return key;
}

RegKey* RegKey::Find(const std::vector<std::string>& path) {
    return const_cast<RegKey*>(static_cast<const RegKey*>(this)->Find(path));
}

RegKey& RegKey::Ensure(const std::vector<std::string>& path, bool* created) {
    RegKey* key = this;
    bool last = false;
    for (const std::string& part : path) key = &key->EnsureSubkey(part, &last);
    if (created) *created = last;
    return *key;
}

bool RootPath(const std::string& rootName, std::vector<std::string>& path) {
    path.clear();
    if (EqualNoCase(rootName, "HKEY_LOCAL_MACHINE") || EqualNoCase(rootName, "HKLM")) {
        path = {kMachineRoot};
    } else if (EqualNoCase(rootName, "HKEY_CURRENT_USER") || EqualNoCase(rootName, "HKCU")) {
        path = {kUserRoot};
    } else if (EqualNoCase(rootName, "HKEY_USERS") || EqualNoCase(rootName, "HKU")) {
        path = {kUsersRoot};
    } else if (EqualNoCase(rootName, "HKEY_CLASSES_ROOT") || EqualNoCase(rootName, "HKCR")) {
        path = {kMachineRoot, "Software", "Classes"};
    } else {
        return false;
    }
    return true;
}

LSTATUS SplitKeyPath(const char* text, std::vector<std::string>& parts) {
    parts.clear();
    if (!text || !*text) return ERROR_SUCCESS;
    if (*text == '\\') return ERROR_BAD_PATHNAME;
    std::string part;
    for (const char* p = text;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (*p == '\0') break;
            continue;
        }
        if (*p == '\r' || *p == '\n') return ERROR_INVALID_PARAMETER;
        part += *p;
        if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

LSTATUS ParseFullKeyPath(const std::string& text, std::vector<std::string>& path) {
    size_t slash = text.find('\\');
    std::string root = text.substr(0, slash);
    if (!RootPath(root, path)) return ERROR_INVALID_PARAMETER;
    if (slash == std::string::npos) return ERROR_SUCCESS;
    // "HKLM\\X": separators right after the root are only separators.
    size_t start = text.find_first_not_of('\\', slash);
    if (start == std::string::npos) return ERROR_SUCCESS;
    std::vector<std::string> rest;
    LSTATUS rc = SplitKeyPath(text.c_str() + start, rest);
    if (rc != ERROR_SUCCESS) return rc;
    path.insert(path.end(), rest.begin(), rest.end());
    return ERROR_SUCCESS;
}

std::string JoinKeyPath(const std::vector<std::string>& path) {
    std::string text;
    for (const std::string& part : path) {
        if (!text.empty()) text += '\\';
        text += part;
    }
    return text;
}

}  // namespace kvreg
