// UtcTime.h -- the "received" field's text: UTC with microseconds, e.g. 2026-12-07T11:42:36.535120Z.
#pragma once

#include <windows.h>

#include <string>

namespace UtcTime {

std::string Now();
std::string Of(const FILETIME& time);

}  // namespace UtcTime
