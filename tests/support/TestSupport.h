// TestSupport.h -- shared test helpers: child processes, temporary folders, registry values.
#pragma once

#include <windows.h>

#include <string>

namespace kvtest {

using ChildMain = int (*)(int argc, char** argv);

// Registers a child entry point: a test re-runs its own program with "--kv-child=<name>" to get
// a second process that runs `fn` instead of the tests.
struct ChildRegistration {
    ChildRegistration(const char* name, ChildMain fn);
};

// Starts this program as the child `name`, with `args` appended to its command line (quoted by
// the caller as needed). Returns the process handle, which the caller closes; null on failure.
HANDLE StartChild(const std::string& name, const std::string& args);

// Starts the child, waits up to `timeoutMs` and returns its exit code; 0xFFFFFFFF when it could not
// be started or did not end in time (it is then left alone).
DWORD RunChild(const std::string& name, const std::string& args, DWORD timeoutMs = 60000);

// Path of the running test program.
std::string SelfPath();

// A fresh, empty folder below the temporary-files folder, removed with its files on destruction.
class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;
    const std::string& path() const { return mPath; }       // ends without a separator
    std::string file(const std::string& name) const;         // path + separator + name

private:
    std::string mPath;
};

// Whether a file exists and can be opened for reading.
bool FileExists(const std::string& path);

// Whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

// HKEY_LOCAL_MACHINE helpers for configuring the component in tests.
bool SetMachineString(const char* key, const char* name, const std::string& value);
bool SetMachineDword(const char* key, const char* name, DWORD value);
void DeleteMachineValue(const char* key, const char* name);
void DeleteMachineKey(const char* key);  // with its subkeys

}  // namespace kvtest

#define KV_TEST_CHILD(name)                                                        \
    static int kvChild_##name(int argc, char** argv);                             \
    static ::kvtest::ChildRegistration kvChildReg_##name(#name, kvChild_##name);  \
    static int kvChild_##name(int argc, char** argv)
