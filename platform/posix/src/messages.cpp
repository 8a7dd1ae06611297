// messages.cpp -- FormatMessageA: the English texts Windows gives for the codes we produce.
#include "kvposix/messages.h"

#include "kvposix/winsock.h"

namespace {

struct MessageText {
    DWORD code;
    const char* text;
};

// Win32 and Winsock codes, then HRESULTs that are not FACILITY_WIN32; each text as Windows words
// it. Sorted by code.
const MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_NEGATIVE_SEEK, "An attempt was made to move the file pointer before the beginning of the file."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_NOT_LOCKED, "The segment is already unlocked."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_NO_UNICODE_TRANSLATION, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_UNKNOWN_REVISION, "The revision level is unknown."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {WSAEBADF, "The file handle supplied is not valid."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAEALREADY,
     "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket."},
    {WSAEMSGSIZE,
     "A message sent on a datagram socket was larger than the internal message buffer or some other network "
     "limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {WSAEPROTOTYPE,
     "A protocol was specified in the socket function call that does not support the semantics of the socket "
     "type requested."},
    {WSAENOPROTOOPT,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},
    {WSAEPROTONOSUPPORT,
     "The requested protocol has not been configured into the system, or no implementation for it exists."},
    {WSAESOCKTNOSUPPORT, "The support for the specified socket type does not exist in this address family."},
    {WSAEOPNOTSUPP, "The attempted operation is not supported for the type of object referenced."},
    {WSAEPFNOSUPPORT,
     "The protocol family has not been configured into the system or no implementation for it exists."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSAEADDRINUSE, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAENETRESET,
     "The connection has been broken due to keep-alive activity detecting a failure while the operation was in "
     "progress."},
    {WSAECONNABORTED, "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
     "because a queue was full."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN,
     "A request to send or receive data was disallowed because the socket is not connected and (when sending on "
     "a datagram socket using a sendto call) no address was supplied."},
    {WSAESHUTDOWN,
     "A request to send or receive data was disallowed because the socket had already been shut down in that "
     "direction with a previous shutdown call."},
    {WSAETIMEDOUT,
     "A connection attempt failed because the connected party did not properly respond after a period of time, "
     "or established connection failed because connected host has failed to respond."},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it."},
    {WSAELOOP, "Cannot translate name."},
    {WSAENAMETOOLONG, "Name component or name was too long."},
    {WSAEHOSTDOWN, "A socket operation failed because the destination host was down."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSASYSNOTREADY,
     "WSAStartup cannot function at this time because the underlying system it uses to provide network services "
     "is currently unavailable."},
    {WSAVERNOTSUPPORTED, "The Windows Sockets version requested is not supported."},
    {WSANOTINITIALISED, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {WSATYPE_NOT_FOUND, "The specified class was not found."},
    {WSAHOST_NOT_FOUND, "No such host is known."},
    {WSATRY_AGAIN,
     "This is usually a temporary error during hostname resolution and means that the local server did not "
     "receive a response from an authoritative server."},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup."},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found."},
    {static_cast<DWORD>(E_NOTIMPL), "Not implemented"},
    {static_cast<DWORD>(E_NOINTERFACE), "No such interface supported"},
    {static_cast<DWORD>(E_POINTER), "Invalid pointer"},
    {static_cast<DWORD>(E_ABORT), "Operation aborted"},
    {static_cast<DWORD>(E_FAIL), "Unspecified error"},
    {static_cast<DWORD>(E_UNEXPECTED), "Catastrophic failure"},
    {static_cast<DWORD>(RPC_E_CHANGED_MODE), "Cannot change thread mode after it is set."},
    {static_cast<DWORD>(DISP_E_MEMBERNOTFOUND), "Member not found."},
    {static_cast<DWORD>(DISP_E_UNKNOWNNAME), "Unknown name."},
    {static_cast<DWORD>(DISP_E_EXCEPTION), "Exception occurred."},
    {static_cast<DWORD>(TYPE_E_LIBNOTREGISTERED), "Library not registered."},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION), "Class does not support aggregation (or class object is remote)"},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), "ClassFactory cannot supply requested class"},
    {static_cast<DWORD>(REGDB_E_READREGDB), "Could not read key from registry"},
    {static_cast<DWORD>(REGDB_E_WRITEREGDB), "Could not write key to registry"},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), "Class not registered"},
    {static_cast<DWORD>(CO_E_NOTINITIALIZED), "CoInitialize has not been called."},
    {static_cast<DWORD>(CO_E_CLASSSTRING), "Invalid class string"},
    {static_cast<DWORD>(CO_E_IIDSTRING), "Invalid interface string"},
    {static_cast<DWORD>(CO_E_DLLNOTFOUND), "DLL for class not found"},
    {static_cast<DWORD>(CO_E_ERRORINDLL), "Error in the DLL"},
    {static_cast<DWORD>(CO_E_SERVER_EXEC_FAILURE), "Server execution failed"},
};

const char* FindText(DWORD code) {
    // An HRESULT that wraps a Win32 code has that code's text.
    if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFFu;
    for (const MessageText& entry : kMessages)
        if (entry.code == code) return entry.text;
    return nullptr;
}

DWORD Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

}  // namespace

KVAPI DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                           DWORD nSize, va_list* Arguments) {
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (dwFlags & (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
        !lpBuffer)
        return Fail(ERROR_INVALID_PARAMETER);
    const char* text = FindText(dwMessageId);
    if (!text) return Fail(ERROR_MR_MID_NOT_FOUND);
    size_t length = strlen(text);
    if (length + 3 > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(lpBuffer, text, length);
    memcpy(lpBuffer + length, "\r\n", 3);
    return static_cast<DWORD>(length + 2);
}
