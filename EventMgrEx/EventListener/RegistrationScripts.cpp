// RegistrationScripts.cpp -- finds the module's registration scripts: "REGISTRY" resources on Windows, embedded data elsewhere.
#include "RegistrationScripts.h"

#ifndef _WIN32
// The POSIX layer has no resources; these come from the generated RegistrationScriptData.cpp.
extern const EmbeddedScript kEmbeddedScripts[];
extern const size_t kEmbeddedScriptCount;
// Windows' codes for a resource that is not there, so that both builds fail alike.
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif
#endif

#ifdef _WIN32
namespace {

HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace
#endif

HRESULT FindRegistrationScript(HMODULE module, UINT id, const char** text, size_t* length) {
    if (!text || !length) return E_POINTER;
    *text = nullptr;
    *length = 0;
#ifdef _WIN32
    HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), "REGISTRY");
    if (!info) return LastErrorResult();
    DWORD size = SizeofResource(module, info);
    if (size == 0) return LastErrorResult();
    // Resources are mapped with the module: nothing to free, valid until it is unloaded.
    HGLOBAL loaded = LoadResource(module, info);
    if (!loaded) return LastErrorResult();
    const void* data = LockResource(loaded);
    if (!data) return LastErrorResult();
    *text = static_cast<const char*>(data);
    *length = size;
    return S_OK;
#else
    (void)module;
    for (size_t i = 0; i < kEmbeddedScriptCount; ++i) {
        if (kEmbeddedScripts[i].id == id) {
            *text = reinterpret_cast<const char*>(kEmbeddedScripts[i].text);
            *length = kEmbeddedScripts[i].length;
            return S_OK;
        }
    }
    return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
#endif
}
