// timefmt.h -- placeholder; filled by the family that owns it.
#pragma once
#include "kvposix/wintypes.h"
