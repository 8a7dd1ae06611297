// RegistryTests.cpp -- conformance of the registry calls: our store natively, the system's under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Each test works below a key of its own, removed with everything in it afterwards.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        mPath = "SOFTWARE\\KVTest\\Registry-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, mPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &mKey, &disposition));
        ASSERT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    }
    void TearDown() override {
        if (mKey) RegCloseKey(mKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, mPath.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVTest");  // only when no other test program uses it
    }

    LSTATUS Set(const char* name, DWORD type, const std::string& data, HKEY key = nullptr) {
        return RegSetValueExA(key ? key : mKey, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
    LSTATUS SetString(const char* name, const std::string& text, HKEY key = nullptr) {
        return Set(name, REG_SZ, std::string(text.c_str(), text.size() + 1), key);
    }
    // The value's bytes; `rc` tells how the query went.
    std::string Get(const char* name, DWORD* type = nullptr, LSTATUS* rc = nullptr, HKEY key = nullptr) {
        BYTE buffer[1024];
        DWORD size = sizeof(buffer);
        LSTATUS status = RegQueryValueExA(key ? key : mKey, name, nullptr, type, buffer, &size);
        if (rc) *rc = status;
        return status == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(buffer), size) : std::string();
    }
    std::string Sub(const std::string& name) const { return mPath + "\\" + name; }

    std::string mPath;
    HKEY mKey = nullptr;
};

class RegistryAccess : public RegistryTest {};
class RegistryClassesRoot : public RegistryTest {};
class RegistryDelete : public RegistryTest {};
class RegistryEnum : public RegistryTest {};
class RegistryGetValue : public RegistryTest {};
class RegistryHandles : public RegistryTest {};
class RegistryKeys : public RegistryTest {};
class RegistryNames : public RegistryTest {};
class RegistryValues : public RegistryTest {};

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }

std::string DwordBytes(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); }

// ---- Creating and opening keys ------------------------------------------------------------------

// Creating reports a new key, then the existing one, and makes every missing key on the way.
TEST_F(RegistryKeys, CreateReportsNewThenExistingAndMakesParents) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "a\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Sub("a\\b\\c").c_str(), 0, KEY_READ, &key));
    RegCloseKey(key);
}

// A missing key is ERROR_FILE_NOT_FOUND and leaves a null handle behind.
TEST_F(RegistryKeys, OpenMissingIsFileNotFound) {
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(mKey, "missing", 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Sub("missing\\deeper").c_str(), 0, KEY_READ, &key));
}

// A path may end in a backslash but not begin with one.
TEST_F(RegistryKeys, PathsMayEndButNotStartWithABackslash) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, (mPath + "\\").c_str(), 0, KEY_READ, &key));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("\\" + mPath).c_str(), 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("\\" + mPath).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

// Opening a predefined key without a subkey gives that key itself; closing it is harmless.
TEST_F(RegistryHandles, PredefinedKeyOpensAsItself) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, key);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, key);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    HKEY again = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, mPath.c_str(), 0, KEY_READ, &again));
    RegCloseKey(again);
}

// A handle closed once is invalid the second time.
TEST_F(RegistryHandles, ClosingTwiceIsInvalidHandle) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, mPath.c_str(), 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
}

// ---- Names ----------------------------------------------------------------------------------------

// Key names match in any case and keep the case they were created with.
TEST_F(RegistryNames, KeyNamesIgnoreCaseAndKeepIt) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "MixedCase", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "MIXEDCASE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Sub("mixedcase").c_str(), 0, KEY_READ, &key));
    RegCloseKey(key);
    char name[64];
    DWORD length = sizeof(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(mKey, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("MixedCase", name);
    length = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(mKey, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
}

// Value names match in any case; setting through another spelling replaces the value, which keeps
// its first spelling.
TEST_F(RegistryNames, ValueNamesIgnoreCaseAndKeepIt) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("ValueName", "first"));
    EXPECT_EQ(Bytes("first", 6), Get("VALUENAME"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("valuename", "second"));
    EXPECT_EQ(Bytes("second", 7), Get("ValueName"));
    char name[64];
    DWORD length = sizeof(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(mKey, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("ValueName", name);
    length = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(mKey, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
}

// ---- Values ---------------------------------------------------------------------------------------

// A REG_SZ comes back with the terminator it was stored with, and its type.
TEST_F(RegistryValues, StringComesBackWithItsTerminator) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("text", "hello"));
    DWORD type = 0;
    EXPECT_EQ(Bytes("hello", 6), Get("text", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
}

// Without a buffer the query reports type and size; a short buffer is ERROR_MORE_DATA with the
// size needed, and a buffer of exactly that size works.
TEST_F(RegistryValues, SizeQueryAndShortBufferGiveTheNeededSize) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("text", "hello"));
    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(mKey, "text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    BYTE buffer[6];
    size = 2;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(mKey, "text", nullptr, &type, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(mKey, "text", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(0, memcmp(buffer, "hello", 6));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(mKey, "text", nullptr, nullptr, buffer, nullptr));
}

// A missing value is ERROR_FILE_NOT_FOUND and the size is left as it was.
TEST_F(RegistryValues, MissingValueIsFileNotFound) {
    BYTE buffer[16];
    DWORD size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(mKey, "missing", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(sizeof(buffer), size);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(mKey, nullptr, nullptr, nullptr, buffer, &size));
}

// The default value answers to a null name and to an empty one.
TEST_F(RegistryValues, DefaultValueHasNullOrEmptyName) {
    ASSERT_EQ(ERROR_SUCCESS, SetString(nullptr, "by null"));
    EXPECT_EQ(Bytes("by null", 8), Get(""));
    ASSERT_EQ(ERROR_SUCCESS, SetString("", "by empty"));
    EXPECT_EQ(Bytes("by empty", 9), Get(nullptr));
}

// DWORDs, binary data, expandable and multiple strings keep their type and every byte.
TEST_F(RegistryValues, EveryTypeKeepsItsBytes) {
    const std::string binary = Bytes("\x00\xff\x01\x80\x00", 5);
    const std::string expand = Bytes("%KVTEST%\\dir\0", 13);
    const std::string multi = Bytes("one\0two\0\0", 9);
    ASSERT_EQ(ERROR_SUCCESS, Set("dword", REG_DWORD, DwordBytes(0x2a)));
    ASSERT_EQ(ERROR_SUCCESS, Set("max", REG_DWORD, DwordBytes(0xFFFFFFFFu)));
    ASSERT_EQ(ERROR_SUCCESS, Set("binary", REG_BINARY, binary));
    ASSERT_EQ(ERROR_SUCCESS, Set("expand", REG_EXPAND_SZ, expand));
    ASSERT_EQ(ERROR_SUCCESS, Set("multi", REG_MULTI_SZ, multi));
    DWORD type = 0;
    EXPECT_EQ(DwordBytes(0x2a), Get("dword", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(DwordBytes(0xFFFFFFFFu), Get("max"));
    EXPECT_EQ(binary, Get("binary", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(expand, Get("expand", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(multi, Get("multi", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
}

// Setting an existing value replaces both its type and its data.
TEST_F(RegistryValues, OverwriteReplacesTypeAndData) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("v", "a string"));
    ASSERT_EQ(ERROR_SUCCESS, Set("v", REG_DWORD, DwordBytes(7)));
    DWORD type = 0;
    EXPECT_EQ(DwordBytes(7), Get("v", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
}

// Empty data make a value of size 0; a size without data is ERROR_NOACCESS.
TEST_F(RegistryValues, EmptyDataIsAValueMissingDataIsNoAccess) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(mKey, "empty", 0, REG_BINARY, nullptr, 0));
    DWORD size = 99;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(mKey, "empty", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(mKey, "bad", 0, REG_BINARY, nullptr, 5));
    LSTATUS rc = ERROR_SUCCESS;
    Get("bad", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
}

// ---- Deleting ---------------------------------------------------------------------------------------

// A deleted value is gone; deleting it again is ERROR_FILE_NOT_FOUND.
TEST_F(RegistryDelete, ValueGoesAndCannotGoTwice) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("v", "x"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("keep", "y"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(mKey, "V"));
    LSTATUS rc = ERROR_SUCCESS;
    Get("v", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(mKey, "v"));
    EXPECT_EQ(Bytes("y", 2), Get("keep"));
}

// RegDeleteKeyA refuses a key that has subkeys (ERROR_ACCESS_DENIED) and takes it once it is bare.
TEST_F(RegistryDelete, KeyWithSubkeysIsAccessDenied) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "parent\\child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(mKey, "parent"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(mKey, "parent\\child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(mKey, "PARENT"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(mKey, "parent", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(mKey, "parent"));
}

// RegDeleteTreeA takes a key with everything below it; without a subkey it empties the key.
TEST_F(RegistryDelete, TreeTakesEverythingOrEmptiesTheKey) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "tree\\a\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, SetString("deep", "x", key));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, SetString("top", "y"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(mKey, "tree"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(mKey, "tree", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(mKey, "tree"));
    EXPECT_EQ(Bytes("y", 2), Get("top"));

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "again", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(mKey, nullptr));
    DWORD subkeys = 9, values = 9;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(mKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                              nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, subkeys);
    EXPECT_EQ(0u, values);
}

// ---- Enumerating and counting ------------------------------------------------------------------------

// Subkeys enumerate in case-insensitive order, then ERROR_NO_MORE_ITEMS; a name buffer one short
// is ERROR_MORE_DATA, an exact one returns the length without the terminator.
TEST_F(RegistryEnum, SubkeysInOrderThenNoMoreItems) {
    for (const char* name : {"bravo", "Alpha", "charlie"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    std::vector<std::string> names;
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        LSTATUS rc = RegEnumKeyExA(mKey, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, rc);
        EXPECT_EQ(strlen(name), length);
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"Alpha", "bravo", "charlie"}), names);
    DWORD length = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(mKey, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    length = 6;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(mKey, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(5u, length);
}

// Values enumerate with their names, types and data; short data buffers report the size needed.
TEST_F(RegistryEnum, ValuesWithTypesAndData) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("s", "text"));
    ASSERT_EQ(ERROR_SUCCESS, Set("d", REG_DWORD, DwordBytes(5)));
    ASSERT_EQ(ERROR_SUCCESS, SetString(nullptr, "default"));
    std::map<std::string, std::pair<DWORD, std::string>> seen;
    for (DWORD i = 0;; ++i) {
        char name[64];
        BYTE data[64];
        DWORD length = sizeof(name), size = sizeof(data), type = 0;
        LSTATUS rc = RegEnumValueA(mKey, i, name, &length, nullptr, &type, data, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, rc);
        seen[name] = {type, std::string(reinterpret_cast<char*>(data), size)};
    }
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_SZ), Bytes("text", 5)), seen["s"]);
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_DWORD), DwordBytes(5)), seen["d"]);
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_SZ), Bytes("default", 8)), seen[""]);

    char name[64];
    BYTE data[2];  // shorter than every value above
    int dwords = 0;
    for (DWORD i = 0; i < 3; ++i) {
        DWORD length = sizeof(name), size = sizeof(data), type = 0;
        EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(mKey, i, name, &length, nullptr, &type, data, &size));
        if (type == REG_DWORD) {
            ++dwords;
            EXPECT_EQ(4u, size);
        }
    }
    EXPECT_EQ(1, dwords);
}

// RegQueryInfoKeyA counts subkeys and values and knows the longest names and data.
TEST_F(RegistryEnum, QueryInfoCountsAndLongest) {
    for (const char* name : {"k1", "longer-key"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    ASSERT_EQ(ERROR_SUCCESS, SetString("a", "0123456789"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("longest-name", "x"));
    ASSERT_EQ(ERROR_SUCCESS, Set("b", REG_DWORD, DwordBytes(1)));
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(mKey, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                                              &maxName, &maxData, nullptr, nullptr));
    EXPECT_EQ(2u, subkeys);
    EXPECT_EQ(10u, maxSubkey);
    EXPECT_EQ(3u, values);
    EXPECT_EQ(12u, maxName);
    EXPECT_GE(maxData, 11u);  // the system may count string data in UTF-16 bytes
}

// ---- Access and handles -------------------------------------------------------------------------------

// A key opened for reading refuses changes with ERROR_ACCESS_DENIED and still reads.
TEST_F(RegistryAccess, ReadOnlyKeyRefusesWrites) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("v", "original"));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, mPath.c_str(), 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetString("v", "changed", key));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(key, "v"));
    EXPECT_EQ(Bytes("original", 9), Get("v", nullptr, nullptr, key));
    RegCloseKey(key);
    EXPECT_EQ(Bytes("original", 9), Get("v"));
}

// Each right stands alone: query-only cannot enumerate subkeys, set-only cannot read.
TEST_F(RegistryAccess, RightsAreCheckedOneByOne) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("v", "x"));
    HKEY query = nullptr, set = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, mPath.c_str(), 0, KEY_QUERY_VALUE, &query));
    char name[64];
    DWORD length = sizeof(name);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExA(query, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    length = sizeof(name);
    EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(query, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(query);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, mPath.c_str(), 0, KEY_SET_VALUE, &set));
    LSTATUS rc = ERROR_SUCCESS;
    Get("v", nullptr, &rc, set);
    EXPECT_EQ(ERROR_ACCESS_DENIED, rc);
    EXPECT_EQ(ERROR_SUCCESS, SetString("w", "y", set));
    RegCloseKey(set);
}

// A handle whose key was deleted answers ERROR_KEY_DELETED, and can still be closed.
TEST_F(RegistryHandles, DeletedKeyGivesKeyDeleted) {
    HKEY doomed = nullptr, child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(mKey, "doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, SetString("v", "x", doomed));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(mKey, "doomed"));
    LSTATUS rc = ERROR_SUCCESS;
    Get("v", nullptr, &rc, doomed);
    EXPECT_EQ(ERROR_KEY_DELETED, rc);
    EXPECT_EQ(ERROR_KEY_DELETED, SetString("v", "y", doomed));
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteValueA(doomed, "v"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(doomed, "sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    char name[64];
    DWORD length = sizeof(name);
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyExA(doomed, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(doomed));
}

// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes: the same keys through either.
TEST_F(RegistryClassesRoot, IsMachineSoftwareClasses) {
    const std::string name = "KVTest.Class" + std::to_string(GetCurrentProcessId());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, SetString(nullptr, "Listener class", key));
    RegCloseKey(key);
    const std::string machine = "software\\classes\\" + name;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, machine.c_str(), 0, KEY_READ, &key));
    EXPECT_EQ(Bytes("Listener class", 15), Get(nullptr, nullptr, nullptr, key));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, machine.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key));
}

// Registry calls report through their result and leave the thread's last error alone.
TEST_F(RegistryHandles, CallsKeepTheThreadsLastError) {
    HKEY key = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(mKey, "missing", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, SetString("v", "x"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(mKey, "missing"));
    Get("v");
    EXPECT_EQ(0xdeadbeefu, GetLastError());
}

// ---- RegGetValueA and RegSetKeyValueA ------------------------------------------------------------------

// RegGetValueA filters by type, terminates strings and expands REG_EXPAND_SZ unless told not to.
TEST_F(RegistryGetValue, ChecksTypeTerminatesAndExpands) {
    ASSERT_EQ(ERROR_SUCCESS, Set("dword", REG_DWORD, DwordBytes(9)));
    ASSERT_EQ(ERROR_SUCCESS, Set("unterminated", REG_SZ, "abc"));
    ASSERT_TRUE(SetEnvironmentVariableA("KVTEST_REGISTRY_DIR", "/opt/kv"));
    ASSERT_EQ(ERROR_SUCCESS, Set("expand", REG_EXPAND_SZ, Bytes("%KVTEST_REGISTRY_DIR%\\x\0", 24)));
    char buffer[64];
    DWORD size = sizeof(buffer), type = 0;
    EXPECT_EQ(ERROR_UNSUPPORTED_TYPE, RegGetValueA(mKey, nullptr, "dword", RRF_RT_REG_SZ, &type, buffer, &size));
    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, mPath.c_str(), "dword", RRF_RT_REG_DWORD, &type, buffer, &size));
    EXPECT_EQ(DwordBytes(9), std::string(buffer, size));

    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(mKey, nullptr, "unterminated", RRF_RT_REG_SZ, &type, buffer, &size));
    EXPECT_EQ(Bytes("abc", 4), std::string(buffer, size));
    size = 3;
    EXPECT_EQ(ERROR_MORE_DATA, RegGetValueA(mKey, nullptr, "unterminated", RRF_RT_REG_SZ, &type, buffer, &size));
    EXPECT_EQ(4u, size);

    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(mKey, nullptr, "expand", RRF_RT_REG_SZ, &type, buffer, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_STREQ("/opt/kv\\x", buffer);
    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(mKey, nullptr, "expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, buffer, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_STREQ("%KVTEST_REGISTRY_DIR%\\x", buffer);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegGetValueA(mKey, nullptr, "expand", RRF_RT_REG_EXPAND_SZ, &type, buffer, &size));
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegGetValueA(mKey, nullptr, "missing", RRF_RT_ANY, &type, buffer, &size));
    // Through a subkey path: the value there, a missing subkey, a path the system refuses.
    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(mKey, "below\\deeper", nullptr, REG_SZ, "def", 4));
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(mKey, "BELOW\\deeper", nullptr, RRF_RT_REG_SZ, &type, buffer, &size));
    EXPECT_STREQ("def", buffer);
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegGetValueA(mKey, "below\\missing", nullptr, RRF_RT_ANY, &type, buffer, &size));
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegGetValueA(mKey, "\\below", nullptr, RRF_RT_ANY, &type, buffer, &size));
    SetEnvironmentVariableA("KVTEST_REGISTRY_DIR", nullptr);
}

// RegSetKeyValueA creates the subkey it writes into.
TEST_F(RegistryGetValue, SetKeyValueCreatesTheKey) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(mKey, "made\\deep", "v", REG_SZ, "x", 2));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(mKey, "made\\deep", 0, KEY_READ, &key));
    EXPECT_EQ(Bytes("x", 2), Get("v", nullptr, nullptr, key));
    RegCloseKey(key);
}

}  // namespace
