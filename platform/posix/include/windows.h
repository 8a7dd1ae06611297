// windows.h -- the Win32 subset of the POSIX layer. Component code includes the same headers on
// both platforms; here they all lead to the family headers below.
#pragma once

#include "kvposix/wintypes.h"
#include "kvposix/sync.h"
#include "kvposix/files.h"
#include "kvposix/process.h"
#include "kvposix/timefmt.h"
#include "kvposix/strings.h"
#include "kvposix/registry.h"
#include "kvposix/com.h"
#include "kvposix/activation.h"
#include "kvposix/messages.h"
