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

std::vector<std::string> ListElements(const std::string& list) {
    std::vector<std::string> elements;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t comma = list.find(',', begin);
        size_t end = comma == std::string::npos ? list.size() : comma;
        if (end > begin) elements.push_back(list.substr(begin, end - begin));
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    return elements;
}

bool IsPortNumber(const std::string& text) {
    if (text.empty()) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) return false;
    }
    return true;
}
