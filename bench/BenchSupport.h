// BenchSupport.h -- what the benchmarks share: where they run from, the settings they make, a spool folder of their own.
#pragma once

#include <windows.h>

#include <string>

// The folder part of a path, with its separator.
std::string FolderOf(const std::string& path);
// This program's path.
std::string SelfPath();
// The event manager module built next to this program ("KVEvSpool" gives KVEvSpool.dll or .so).
std::string ModuleBesideSelf(const char* name);
// Sets the REG_SZ value `name` (null: the default value) of HKLM\key, creating the key.
bool SetMachineString(const std::string& key, const char* name, const std::string& value);
// Sets the REG_DWORD value `name` of HKLM\key, creating the key.
bool SetMachineDword(const std::string& key, const char* name, DWORD value);
// Deletes the value `name` of HKLM\key, if it is there.
void DeleteMachineValue(const std::string& key, const char* name);
// Calls the DllRegisterServer (or DllUnregisterServer) of the module at `path`.
bool CallRegistration(const std::string& path, bool registering);
// A fresh spool folder "spool" in a fresh folder of the temporary-files folder, ending with its
// separator. On POSIX, without a store of the caller's (KVLUMEN_REGISTRY), the registry store is a
// file beside it (not in it: the store watches its own folder, and every spooled file would make
// each lookup look at the store again).
std::string MakeBenchFolder(const char* prefix);
// The number of spooled messages (event-* files) in a folder that ends with its separator.
size_t CountSpooled(const std::string& folder);
// Removes the spool folder, its files and the folder that MakeBenchFolder made around it.
void RemoveBenchFolder(const std::string& folder);
