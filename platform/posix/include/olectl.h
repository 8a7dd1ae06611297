// olectl.h -- leads to the POSIX layer.
#pragma once
#include <windows.h>
