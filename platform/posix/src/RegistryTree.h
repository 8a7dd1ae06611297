// RegistryTree.h -- the registry's keys and values in memory: names case-insensitive, case kept.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kvreg {

// Windows compares registry names by upcasing them; the store's names are narrow bytes, of which
// only the ASCII letters have a case we can know.
int CompareNoCase(const std::string& a, const std::string& b);
inline bool EqualNoCase(const std::string& a, const std::string& b) { return CompareNoCase(a, b) == 0; }

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return CompareNoCase(a, b) < 0; }
};

struct RegValue {
    std::string name;  // "" is the key's default value
    DWORD type = REG_NONE;
    std::string data;  // the bytes, exactly as set
};

class RegKey {
public:
    explicit RegKey(std::string name = std::string()) : mName(std::move(name)) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    const std::string& name() const { return mName; }

    // Subkeys, in case-insensitive order of their names.
    using SubkeyMap = std::map<std::string, std::unique_ptr<RegKey>, NoCaseLess>;
    const SubkeyMap& subkeys() const { return mSubkeys; }
    RegKey* FindSubkey(const std::string& name) const;
    // Returns the subkey, creating it (with this spelling) when missing.
    RegKey& EnsureSubkey(const std::string& name, bool* created = nullptr);
    bool RemoveSubkey(const std::string& name);

    // Values, in the order they were first set.
    const std::vector<RegValue>& values() const { return mValues; }
    const RegValue* FindValue(const std::string& name) const;
    // Returns false when the value already held exactly this type and data. An existing value
    // keeps the spelling of its name.
    bool SetValue(const std::string& name, DWORD type, const std::string& data);
    bool RemoveValue(const std::string& name);
    void Clear();  // all values and subkeys

    // Walks `path` below this key; null when a part is missing.
    const RegKey* Find(const std::vector<std::string>& path) const;
    RegKey* Find(const std::vector<std::string>& path);
    // Walks `path`, creating what is missing; `created` tells whether the last part was new.
    RegKey& Ensure(const std::vector<std::string>& path, bool* created = nullptr);

private:
    std::string mName;
    std::vector<RegValue> mValues;
    SubkeyMap mSubkeys;
};

// The top-level keys of the store, and where each predefined key leads.
extern const char kMachineRoot[];  // "HKEY_LOCAL_MACHINE"
extern const char kUserRoot[];     // "HKEY_CURRENT_USER"
extern const char kUsersRoot[];    // "HKEY_USERS"

// Maps a root name, long ("HKEY_CLASSES_ROOT") or short ("HKCR"), any case, to its path from the
// top of the store. False for an unknown name.
bool RootPath(const std::string& rootName, std::vector<std::string>& path);

// Splits "A\B\C" into its parts. Empty parts (a trailing or doubled backslash) are dropped, as
// the system does; a leading backslash is ERROR_BAD_PATHNAME; a part over 255 characters, or a
// line break, is ERROR_INVALID_PARAMETER.
LSTATUS SplitKeyPath(const char* text, std::vector<std::string>& parts);

// Parses "HKLM\Software\X" (root long or short) into a path from the top of the store.
LSTATUS ParseFullKeyPath(const std::string& text, std::vector<std::string>& path);

// "HKEY_LOCAL_MACHINE\Software\X" for a path from the top of the store.
std::string JoinKeyPath(const std::vector<std::string>& path);

}  // namespace kvreg
