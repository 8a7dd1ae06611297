// SystemMessage.cpp -- error codes as tools print them: 8 hex digits and the system's own text.
#include "SystemMessage.h"

#include <stdio.h>

std::string HexCode(DWORD code) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(code));
    return text;
}

std::string SystemMessage(DWORD code) {
    char text[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

std::string DescribeCode(DWORD code) {
    std::string message = SystemMessage(code);
    return message.empty() ? HexCode(code) : HexCode(code) + " (" + message + ")";
}

std::string ErrorText(DWORD code) {
    std::string message = SystemMessage(code);
    if (message.empty()) message = "Unknown error.";
    return message + " (" + std::to_string(static_cast<unsigned long>(code)) + ")";
}
