// RegistrationScripts.h -- finds the module's registration scripts: "REGISTRY" resources on Windows, embedded data elsewhere.
#pragma once

#include <windows.h>

#include <stddef.h>

// One script built into the POSIX module from its .rgs file (see EmbedRegistrationScripts.cmake).
struct EmbeddedScript {
    UINT id;
    const unsigned char* text;
    size_t length;
};

// Points `text` and `length` at the script `id` of `module`, which stays valid while the module
// is loaded (the text has no terminator). HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND or
// ERROR_RESOURCE_NAME_NOT_FOUND) or the system's error when it is not there.
HRESULT FindRegistrationScript(HMODULE module, UINT id, const char** text, size_t* length);
