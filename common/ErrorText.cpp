// ErrorText.cpp -- reason texts for Win32 error codes: the system's own where it has them.
#include "ErrorText.h"

#include <stdio.h>

namespace {

#if !defined(_WIN32) && !defined(FORMAT_MESSAGE_FROM_SYSTEM)
// Until the POSIX layer formats messages, the texts Windows gives for the codes that its file
// calls set.
const char* KnownReason(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_TOO_MANY_OPEN_FILES: return "The system cannot open the file.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION: return "The process cannot access the file because it is being used by another process.";
    case ERROR_LOCK_VIOLATION: return "The process cannot access the file because another process has locked a portion of the file.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_FILE_EXISTS: return "The file exists.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_DISK_FULL: return "There is not enough space on the disk.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long.";
    case ERROR_NOT_SAME_DEVICE: return "The system cannot move the file to a different disk drive.";
    case ERROR_CANT_RESOLVE_FILENAME: return "The name of the file cannot be resolved by the system.";
    case ERROR_TIMEOUT: return "This operation returned because the timeout period expired.";
    default: return nullptr;
    }
}
#endif

}  // namespace

std::string ErrorText(DWORD code) {
    char text[512] = "";
#if defined(_WIN32) || defined(FORMAT_MESSAGE_FROM_SYSTEM)
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof(text), nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
#else
    if (const char* reason = KnownReason(code)) snprintf(text, sizeof(text), "%s", reason);
#endif
    std::string result = text[0] ? text : "Unknown error.";
    char number[24];
    snprintf(number, sizeof(number), " (%lu)", static_cast<unsigned long>(code));
    return result + number;
}
