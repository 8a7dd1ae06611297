// RegistryTestStore.h -- a registry store of its own for each test, and small helpers around it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "TestSupport.h"

namespace kvtest {

// Points the registry of this process at "registry.reg" in a fresh folder, and back afterwards.
class RegistryStoreTest : public ::testing::Test {
public:
    static std::set<std::string> FolderEntries(const std::string& folder) {
        std::set<std::string> names;
        if (DIR* dir = opendir(folder.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") names.insert(name);
            }
            closedir(dir);
        }
        return names;
    }
    static size_t OpenDescriptors() { return FolderEntries("/proc/self/fd").size(); }

protected:
    void SetUp() override {
        ASSERT_FALSE(mDir.path().empty());
        mStore = mDir.file("registry.reg");
        KvRegSetStorePath(mStore.c_str());
    }
    void TearDown() override { KvRegSetStorePath(nullptr); }

    // Sets a value under HKEY_LOCAL_MACHINE\`key`, creating the key.
    static LSTATUS SetValue(const char* key, const char* name, DWORD type, const std::string& data) {
        return RegSetKeyValueA(HKEY_LOCAL_MACHINE, key, name, type, data.data(), static_cast<DWORD>(data.size()));
    }
    static LSTATUS SetString(const char* key, const char* name, const std::string& text) {
        return SetValue(key, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
    }
    // The value's bytes ("" on failure, with the reason in `rc`).
    static std::string GetValue(const char* key, const char* name, DWORD* type = nullptr, LSTATUS* rc = nullptr) {
        HKEY hkey = nullptr;
        LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &hkey);
        std::string data;
        if (status == ERROR_SUCCESS) {
            DWORD size = 0;
            status = RegQueryValueExA(hkey, name, nullptr, type, nullptr, &size);
            if (status == ERROR_SUCCESS) {
                data.resize(size);
                status = RegQueryValueExA(hkey, name, nullptr, type, reinterpret_cast<BYTE*>(&data[0]), &size);
                data.resize(size);
            }
            RegCloseKey(hkey);
        }
        if (rc) *rc = status;
        return status == ERROR_SUCCESS ? data : std::string();
    }

    // Writes a file the way an editor that saves in place would.
    static void WriteText(const std::string& path, const std::string& text) {
        FILE* file = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, file) << path;
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    }
    // Replaces a file the way our writers do: a new file renamed over the old one.
    static void ReplaceText(const std::string& path, const std::string& text) {
        WriteText(path + ".new", text);
        ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
    }

    ScopedTempDir mDir;
    std::string mStore;
};

}  // namespace kvtest
