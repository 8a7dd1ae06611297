// ModuleTestSupport.h -- loading the built KVEvLsn module dynamically, and reading the registry it writes.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "IEventListener.h"
#include "TestSupport.h"

namespace kvtest {

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* ModuleFn)(void);

// The four entry points of one loaded copy of the module.
class ModuleEntryPoints {
public:
    ModuleEntryPoints() = default;
    ~ModuleEntryPoints() { Free(); }
    ModuleEntryPoints(const ModuleEntryPoints&) = delete;
    ModuleEntryPoints& operator=(const ModuleEntryPoints&) = delete;

    // Loads `path` and finds the exports; false (with the reason in Error()) when either fails.
    bool Load(const std::string& path);
    void Free();
    // Leaves the module loaded for the rest of the process (its class object lives with it).
    void Keep() { mModule = nullptr; }

    HMODULE module() const { return mModule; }
    const std::string& Error() const { return mError; }
    // The module's own idea of its path.
    std::string FileName() const;

    GetClassObjectFn getClassObject = nullptr;
    ModuleFn canUnloadNow = nullptr;
    ModuleFn registerServer = nullptr;
    ModuleFn unregisterServer = nullptr;

private:
    HMODULE mModule = nullptr;
    std::string mError;
};

// KVEvLsn.dll / KVEvLsn.so beside the test program.
std::string BuiltModulePath();
// The file name of the module on this platform.
const char* ModuleFileName();

// The copy of the module that most tests share, loaded once and never unloaded.
ModuleEntryPoints& SharedModule();

// The class object of the shared module (a new reference), or null with a test failure.
IClassFactory* ListenerFactory();

// Registry helpers. Paths are below `root` and use backslashes.
bool KeyExists(HKEY root, const std::string& path);
// The REG_SZ value (name null: the default value); "<missing>" when absent or not a string.
std::string ReadString(HKEY root, const std::string& path, const char* name);
// Deletes `path` with everything below it (missing is fine).
void DeleteKeyTree(HKEY root, const std::string& path);
// Creates `path` and sets a REG_SZ value on it (name null: the default value).
bool WriteString(HKEY root, const std::string& path, const char* name, const std::string& value);

// Every key and value below `path` (inclusive) as sorted lines: "key" for each key, and
// "key | name | type | data" for each value (data as text for strings, hex otherwise), with
// key paths relative to `root`. Empty when the key does not exist.
std::set<std::string> RegistryLines(HKEY root, const std::string& path);

// The text of a GUID in registry form ("{XXXXXXXX-...}"), upper case.
std::string GuidText(REFGUID guid);

// Copies a file byte for byte.
bool CopyWholeFile(const std::string& from, const std::string& to);

// The source folder of the component (for reading the .rgs files).
std::string ComponentSourceDir();

}  // namespace kvtest
