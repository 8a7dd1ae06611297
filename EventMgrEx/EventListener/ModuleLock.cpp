// ModuleLock.cpp -- the interlocked module lock count.
#include "ModuleLock.h"

#include <atomic>

namespace {
std::atomic<LONG> gModuleLocks{0};
}  // namespace

LONG ModuleLockIncrement() { return gModuleLocks.fetch_add(1) + 1; }
LONG ModuleLockDecrement() { return gModuleLocks.fetch_sub(1) - 1; }
LONG ModuleLockCount() { return gModuleLocks.load(); }
