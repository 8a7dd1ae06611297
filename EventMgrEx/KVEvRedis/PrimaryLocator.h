// PrimaryLocator.h -- where the stream's writes go: the configured address, or the primary the sentinels name.
#pragma once

#include <windows.h>

#include <string>

#include "FailureLog.h"

struct RedisSettings;

namespace PrimaryLocator {

// Without sentinels: `settings.address`. With them (`sentinels`, a host:port list): the address
// of the primary `masterName` as the first sentinel that answers names it (SENTINEL
// get-master-addr-by-name), asked in the list's order before `deadline`.
bool Find(const RedisSettings& settings, ULONGLONG deadline, std::string* address, RedisError* error);

}  // namespace PrimaryLocator
