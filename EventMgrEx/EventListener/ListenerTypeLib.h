// ListenerTypeLib.h -- registering and unregistering the type library EventListenerLib that the module carries.
#pragma once

#include <windows.h>

// The library is the module's "TYPELIB" resource on Windows. The POSIX build has no type
// libraries at all: there both calls succeed without doing anything, so that registration
// writes the scripts' entries only.
class ListenerTypeLib {
public:
    // Loads the library from `modulePath` (or, failing that, from the same path with the
    // extension ".tlb") and registers it with the path it was loaded from and the module's
    // folder as help folder. The load's failure when neither loads.
    static HRESULT Register(const char* modulePath);
    // Loads it as Register does and removes the registration of its LIBID, version, locale and
    // target system.
    static HRESULT Unregister(const char* modulePath);
};
