// BenchSupport.h -- what the benchmarks share: where they are, the registry, a spool folder of their own.
#pragma once

#include <windows.h>

#include <string>

// The folder part of a path, with its separator.
std::string FolderOf(const std::string& path);
// This program's path.
std::string SelfPath();
// The event manager module built next to this program ("KVEvSpool" gives KVEvSpool.dll or .so).
std::string ModuleBesideSelf(const char* name);
// Sets a REG_SZ value under HKEY_LOCAL_MACHINE, creating the key.
bool SetMachineString(const char* key, const char* name, const std::string& value);
// Sets a REG_DWORD value under HKEY_LOCAL_MACHINE, creating the key.
bool SetMachineDword(const char* key, const char* name, DWORD value);
// A fresh folder in the temporary-files folder, ending with its separator.
std::string MakeBenchFolder(const char* prefix);
// The number of spooled messages (event-* files) in a folder that ends with its separator.
size_t CountSpooled(const std::string& folder);
// Removes the folder's files and the folder.
void RemoveBenchFolder(const std::string& folder);
