// AnsiText.cpp -- ANSI code page conversions through the platform's converters.
#include "AnsiText.h"

#include <vector>

BSTR AllocBstrFromAnsi(const char* text) {
    if (!text) text = "";
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return SysAllocString(L"");
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units - 1));
    if (result) MultiByteToWideChar(CP_ACP, 0, text, -1, result, units);
    return result;
}

std::string AnsiFromWide(const WCHAR* text) {
    if (!text) return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return std::string();
    std::vector<char> buffer(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer.data(), bytes, nullptr, nullptr);
    return std::string(buffer.data());
}
