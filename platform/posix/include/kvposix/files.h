// files.h -- files, byte-range locks, folders, finding files, security descriptors.
//
// Paths are POSIX paths: '/' separates, nothing is translated. What differs from Windows:
// - FILE_SHARE_* is accepted and not enforced (POSIX has no share modes); LockFile is the way
//   to keep others out of a range.
// - LockFile takes an exclusive lock through a handle opened for writing; through a read-only
//   handle it can only take a shared one, which keeps writers out but not other readers.
// - FILE_FLAG_OVERLAPPED, FILE_FLAG_DELETE_ON_CLOSE, an OVERLAPPED argument and
//   MOVEFILE_DELAY_UNTIL_REBOOT fail with ERROR_NOT_SUPPORTED.
// - bInheritHandle decides whether a child process started with bInheritHandles keeps the
//   file open; without it the descriptor is close-on-exec.
// - A security descriptor with no DACL or a null DACL (open to all users) creates files and
//   folders readable and writable by their owner and the component's group ("kvlumen", or
//   KVLUMEN_GROUP) only, never by all users; where that group cannot be given, by the owner
//   alone. Otherwise the umask applies.
#pragma once

#include "kvposix/timefmt.h"
#include "kvposix/wintypes.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
// Ours, POSIX only: refuse to open the file when the last component of its path is a symbolic
// link (O_NOFOLLOW), so that a link planted in a shared folder cannot redirect the open. The
// open then fails with ERROR_CANT_RESOLVE_FILENAME. Windows uses this bit only for the
// attribute FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS, which callers never pass to CreateFile.
// Portable code tests `#ifdef FILE_FLAG_POSIX_NOFOLLOW`.
#define FILE_FLAG_POSIX_NOFOLLOW 0x00400000u

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// Security descriptors: only "no DACL" and "null DACL" mean anything here (see above).
typedef struct _ACL ACL, *PACL;
typedef PVOID PSID;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;
#define SECURITY_DESCRIPTOR_REVISION 1u
#define SECURITY_DESCRIPTOR_MIN_LENGTH sizeof(SECURITY_DESCRIPTOR)
#define SE_DACL_PRESENT 0x0004u
#define SE_DACL_DEFAULTED 0x0008u

KVAPI HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
KVAPI BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                    LPOVERLAPPED lpOverlapped);
KVAPI BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                     LPOVERLAPPED lpOverlapped);
KVAPI DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
KVAPI BOOL SetEndOfFile(HANDLE hFile);
KVAPI DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
// Also for a folder opened with FILE_FLAG_BACKUP_SEMANTICS and GENERIC_WRITE: the names in it
// (created, renamed, deleted) are then on disk. Reading or writing such a handle fails.
KVAPI BOOL FlushFileBuffers(HANDLE hFile);
// Non-blocking: a range locked through another handle, of this process or another, fails with
// ERROR_LOCK_VIOLATION; so does an overlapping range locked through the same handle. UnlockFile
// takes exactly a range that was locked (else ERROR_NOT_LOCKED). Closing the handle unlocks.
KVAPI BOOL LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToLockLow,
                    DWORD nNumberOfBytesToLockHigh);
KVAPI BOOL UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToUnlockLow,
                      DWORD nNumberOfBytesToUnlockHigh);

KVAPI BOOL DeleteFileA(LPCSTR lpFileName);
KVAPI BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
KVAPI BOOL RemoveDirectoryA(LPCSTR lpPathName);
KVAPI BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
// TMPDIR when set, else /tmp; always ends with '/'.
KVAPI DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);

// '*' and '?' match in the last component only; "*.*" matches every name. A pattern without
// wildcards finds that one file or folder.
KVAPI HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
KVAPI BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
KVAPI BOOL FindClose(HANDLE hFindFile);

KVAPI BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
KVAPI BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                     BOOL bDaclDefaulted);

// ---- Log rotation (not Win32) ----------------------------------------------------------------
// A host told to reopen its log files (SIGHUP from logrotate) calls KvRequestFileReopen. Every log
// of the process -- each module keeps its own -- compares KvFileReopenGeneration with the value
// it last opened its file under and, when it changed, opens its file again by name before its
// next line.
KVAPI void KvRequestFileReopen(void);
KVAPI LONG KvFileReopenGeneration(void);

// ---- Flushing many files at once (not Win32) --------------------------------------------------
// FlushFileBuffers for `count` handles (files, and folders opened for flushing), with one flush of
// the device instead of one per handle when they share a file system: each file's data is written
// and its own write errors reported, then the whole file system is synced once (syncfs), which
// also makes every name in it durable. It waits for whatever else is being written there too.
// Handles on different file systems are flushed one by one. Portable code tests
// `#ifdef KV_HAVE_FLUSH_FILES_TOGETHER` and calls FlushFileBuffers for each handle elsewhere.
#define KV_HAVE_FLUSH_FILES_TOGETHER 1
KVAPI BOOL KvFlushFilesTogether(const HANDLE* handles, DWORD count);

#define CreateFile CreateFileA
#define DeleteFile DeleteFileA
#define CreateDirectory CreateDirectoryA
#define RemoveDirectory RemoveDirectoryA
#define MoveFileEx MoveFileExA
#define GetTempPath GetTempPathA
#define FindFirstFile FindFirstFileA
#define FindNextFile FindNextFileA
#define WIN32_FIND_DATA WIN32_FIND_DATAA
#define LPWIN32_FIND_DATA LPWIN32_FIND_DATAA
