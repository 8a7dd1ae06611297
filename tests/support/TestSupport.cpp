// TestSupport.cpp -- child processes, temporary folders and registry helpers for the tests.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kvtest {

namespace {

std::map<std::string, ChildMain>& Children() {
    static std::map<std::string, ChildMain> children;
    return children;
}

const char kChildSwitch[] = "--kv-child=";

}  // namespace

ChildRegistration::ChildRegistration(const char* name, ChildMain fn) { Children()[name] = fn; }

std::string SelfPath() {
    char path[MAX_PATH * 4] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n);
}

HANDLE StartChild(const std::string& name, const std::string& args) {
    std::string cmd = "\"" + SelfPath() + "\" " + kChildSwitch + name;
    if (!args.empty()) cmd += " " + args;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD RunChild(const std::string& name, const std::string& args, DWORD timeoutMs) {
    HANDLE process = StartChild(name, args);
    if (!process) return 0xFFFFFFFFu;
    DWORD code = 0xFFFFFFFFu;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

ScopedTempDir::ScopedTempDir() {
    char base[MAX_PATH] = {};
    GetTempPathA(sizeof(base), base);
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::ostringstream name;
        name << base << "kvtest-" << GetCurrentProcessId() << "-" << InterlockedIncrement(&counter);
        if (CreateDirectoryA(name.str().c_str(), nullptr)) {
            mPath = name.str();
            return;
        }
    }
    ADD_FAILURE() << "cannot create a temporary folder below " << base;
}

std::string ScopedTempDir::file(const std::string& name) const {
#ifdef _WIN32
    return mPath + "\\" + name;
#else
    return mPath + "/" + name;
#endif
}

namespace {

// Removes a folder with everything in it (tests make subfolders of their temporary folder).
void RemoveTree(const std::string& path) {
#ifdef _WIN32
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string entry = data.cFileName;
            if (entry == "." || entry == "..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + "\\" + entry);
            else
                DeleteFileA((path + "\\" + entry).c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
#else
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::string child = path + "/" + name;
            struct stat status;
            if (lstat(child.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
                RemoveTree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
#endif
}

}  // namespace

ScopedTempDir::~ScopedTempDir() {
    if (!mPath.empty()) RemoveTree(mPath);
}

bool FileExists(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool SetMachineString(const char* key, const char* name, const std::string& value) {
    HKEY hkey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &hkey, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(hkey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    RegCloseKey(hkey);
    return rc == ERROR_SUCCESS;
}

bool SetMachineDword(const char* key, const char* name, DWORD value) {
    HKEY hkey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &hkey, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(hkey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(hkey);
    return rc == ERROR_SUCCESS;
}

void DeleteMachineValue(const char* key, const char* name) {
    HKEY hkey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_WRITE, &hkey) != ERROR_SUCCESS) return;
    RegDeleteValueA(hkey, name);
    RegCloseKey(hkey);
}

static void DeleteTree(HKEY parent, const char* key) {
    HKEY hkey = nullptr;
    if (RegOpenKeyExA(parent, key, 0, KEY_READ | KEY_WRITE, &hkey) == ERROR_SUCCESS) {
        char sub[256];
        for (;;) {
            DWORD len = sizeof(sub);
            if (RegEnumKeyExA(hkey, 0, sub, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            DeleteTree(hkey, sub);
        }
        RegCloseKey(hkey);
    }
    RegDeleteKeyA(parent, key);
}

void DeleteMachineKey(const char* key) { DeleteTree(HKEY_LOCAL_MACHINE, key); }

}  // namespace kvtest

// Test programs run their tests, or one registered child when started with --kv-child=NAME.
#ifndef _WIN32
namespace {

// Run by hand, without ctest's environment, a test program still never writes the machine's
// registry store: it takes the store ctest would give it, beside the program.
void UseOwnRegistryStore() {
    const char* chosen = getenv("KVLUMEN_REGISTRY");
    if (chosen && *chosen) return;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return;
    std::string path(self, static_cast<size_t>(n));
    std::string folder = path.substr(0, path.rfind('/')) + "/test-registry";
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.size() > 6 && name.compare(name.size() - 6, 6, "_tests") == 0) name.resize(name.size() - 6);
    mkdir(folder.c_str(), 0755);
    setenv("KVLUMEN_REGISTRY", (folder + "/" + name + ".reg").c_str(), 1);
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    UseOwnRegistryStore();
#endif
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind(kvtest::kChildSwitch, 0) == 0) {
            auto it = kvtest::Children().find(arg.substr(sizeof(kvtest::kChildSwitch) - 1));
            if (it == kvtest::Children().end()) return 127;
            return it->second(argc - i - 1, argv + i + 1);
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
