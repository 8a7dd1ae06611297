// BenchSupport.h -- what the benchmarks share: where they run from and the settings they make.
#pragma once

#include <windows.h>

#include <string>

namespace kvbench {

// The folder part of a path, with its separator.
std::string Folder(const std::string& path);
// Path of the running program.
std::string SelfPath();
// Sets the REG_SZ value `name` (null: the default value) of HKLM\key, creating the key.
bool SetMachineString(const std::string& key, const char* name, const std::string& value);
// Deletes the value `name` of HKLM\key, if it is there.
void DeleteMachineValue(const std::string& key, const char* name);
// Calls the DllRegisterServer (or DllUnregisterServer) of the module at `path`.
bool CallRegistration(const std::string& path, bool registering);

}  // namespace kvbench
