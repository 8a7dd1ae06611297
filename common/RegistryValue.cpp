// RegistryValue.cpp -- string values that are really strings: right type, terminated.
#include "RegistryValue.h"

LONG QueryStringValue(HKEY key, const char* name, char* buffer, DWORD* size) {
    DWORD type = REG_NONE;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), size);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (*size == 0 || buffer[*size - 1] != '\0') return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}
