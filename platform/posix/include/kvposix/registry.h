// registry.h -- the Win32 registry (A functions) over a persistent store in one .reg text file.
//
// The store
//   One text file in the format of Windows .reg files ("Windows Registry Editor Version 5.00"),
//   so that an administrator can read, edit, import and export it. Its path is, in this order:
//     1. the path given to KvRegSetStorePath (for tools and tests),
//     2. the environment variable KVLUMEN_REGISTRY (read again on every call),
//     3. the machine's store, /etc/kvlumen/registry.reg (KVPOSIX_MACHINE_REGISTRY), folders
//        created on the first write. Like HKEY_LOCAL_MACHINE on Windows it is shared by every
//        user and written by administrators; a user's own store is chosen with 1 or 2.
//   A missing file is an empty registry. A file that cannot be read completely (a line that is
//   not understood, a value with no key to go to, a NUL byte: a file that is not text) is never
//   rewritten: readers get what could be read, every change fails with ERROR_BADDB until the
//   file is mended, and the process says once on its debugger output (standard error) which
//   file and which line (KvRegCheckStore asks for it).
//
//   Roots: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, all three in the one file (so
//   HKEY_CURRENT_USER belongs to whoever shares the file). HKEY_CLASSES_ROOT is
//   HKEY_LOCAL_MACHINE\Software\Classes -- the same keys, written under that path in the file.
//   HKEY_CURRENT_CONFIG and HKEY_PERFORMANCE_DATA do not exist here (ERROR_INVALID_HANDLE).
//   Key and value names compare case-insensitively (ASCII letters) and keep the case they were
//   created with. Subkeys enumerate in case-insensitive order, values in the order first set.
//
//   Data are stored byte-exact as the A functions received them: a REG_SZ keeps exactly the
//   terminator it was given. The file holds those bytes as they are (UTF-8 when the caller's text
//   is UTF-8): "name"="text" for a REG_SZ with one final NUL and no line breaks, dword:xxxxxxxx
//   for a 4-byte REG_DWORD, hex: for REG_BINARY, and hex(N): for everything else -- the string
//   types (1, 2, 7) as UTF-16LE with each byte widened to one unit, as Windows exports them.
//   Lines end in LF; long hex data continue on the next line after a backslash, as regedit's do.
//   Line breaks inside key or value names cannot be written in this format: such names are
//   refused with ERROR_INVALID_PARAMETER, and so are key names over 255 characters. Volatile
//   keys and symbolic links do not exist here (REG_OPTION_VOLATILE and the link options give
//   ERROR_NOT_SUPPORTED); classes and security descriptors are not kept.
//
// Concurrency
//   Every change takes a cross-process lock (an OFD lock on "<store>.lock", released by the
//   kernel when its holder dies), re-reads the file, applies the change and replaces the file
//   atomically (a temporary file in the same folder, fsync, rename); setting a value to what it
//   already holds writes nothing. Readers keep a parsed copy and parse again only when the file's
//   device, inode, size or modification time (with its nanoseconds) changed; the parsed file is
//   kept open, so that its inode cannot be reused. They do not even look at the file while an
//   inotify watch on it (followed through a link) and on its folder has seen nothing happen
//   since the last look, and that look is less than a second old: a lookup then costs one
//   ioctl, and readers share the store's lock. On a network file system (NFS, SMB, FUSE, ...)
//   or without inotify, every lookup looks at the file. All functions are thread-safe. A handle names
//   its key by path: when the key is deleted, the handle gives ERROR_KEY_DELETED (and sees a key
//   created again under the same path).
//
// The functions return Win32 error codes and leave the thread's last-error value alone.
#pragma once

#include "kvposix/wintypes.h"

#ifdef KVAPI
#define KVREG_EXPORT KVAPI
#else
#define KVREG_EXPORT __attribute__((visibility("default")))
#endif

// FILETIME belongs to the time and file family; only pointers to it appear here.
struct _FILETIME;

// ---- Predefined keys ------------------------------------------------------------------------
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))

// ---- Value types -----------------------------------------------------------------------------
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

// ---- Access rights ---------------------------------------------------------------------------
#ifndef DELETE
#define DELETE (0x00010000L)
#endif
#ifndef READ_CONTROL
#define READ_CONTROL (0x00020000L)
#endif
#ifndef WRITE_DAC
#define WRITE_DAC (0x00040000L)
#endif
#ifndef WRITE_OWNER
#define WRITE_OWNER (0x00080000L)
#endif
#ifndef SYNCHRONIZE
#define SYNCHRONIZE (0x00100000L)
#endif
#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ (READ_CONTROL)
#endif
#ifndef STANDARD_RIGHTS_WRITE
#define STANDARD_RIGHTS_WRITE (READ_CONTROL)
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL (0x001F0000L)
#endif
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED (0x02000000L)
#endif
#ifndef GENERIC_READ
#define GENERIC_READ (0x80000000L)
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE (0x40000000L)
#endif
#ifndef GENERIC_EXECUTE
#define GENERIC_EXECUTE (0x20000000L)
#endif
#ifndef GENERIC_ALL
#define GENERIC_ALL (0x10000000L)
#endif

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_WOW64_RES 0x0300
#define KEY_READ 0x20019
#define KEY_EXECUTE KEY_READ
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

// ---- RegCreateKeyEx options and dispositions -------------------------------------------------
#define REG_OPTION_RESERVED 0x00000000
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_OPTION_CREATE_LINK 0x00000002
#define REG_OPTION_BACKUP_RESTORE 0x00000004
#define REG_OPTION_OPEN_LINK 0x00000008
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

// ---- RegGetValue flags -----------------------------------------------------------------------
#define RRF_RT_REG_NONE 0x00000001
#define RRF_RT_REG_SZ 0x00000002
#define RRF_RT_REG_EXPAND_SZ 0x00000004
#define RRF_RT_REG_BINARY 0x00000008
#define RRF_RT_REG_DWORD 0x00000010
#define RRF_RT_REG_MULTI_SZ 0x00000020
#define RRF_RT_REG_QWORD 0x00000040
#define RRF_RT_DWORD (RRF_RT_REG_BINARY | RRF_RT_REG_DWORD)
#define RRF_RT_QWORD (RRF_RT_REG_BINARY | RRF_RT_REG_QWORD)
#define RRF_RT_ANY 0x0000FFFF
#define RRF_SUBKEY_WOW6464KEY 0x00010000
#define RRF_SUBKEY_WOW6432KEY 0x00020000
#define RRF_NOEXPAND 0x10000000
#define RRF_ZEROONFAILURE 0x20000000

// ---- Error codes the registry returns beyond the common ones ---------------------------------
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif
#ifndef ERROR_DATATYPE_MISMATCH
#define ERROR_DATATYPE_MISMATCH 1629L
#endif
#ifndef ERROR_UNSUPPORTED_TYPE
#define ERROR_UNSUPPORTED_TYPE 1630L
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- Win32 -----------------------------------------------------------------------------------
KVREG_EXPORT LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                   PHKEY phkResult);
KVREG_EXPORT LSTATUS RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
KVREG_EXPORT LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                     DWORD dwOptions, REGSAM samDesired,
                                     const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                                     LPDWORD lpdwDisposition);
KVREG_EXPORT LSTATUS RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
KVREG_EXPORT LSTATUS RegCloseKey(HKEY hKey);
// Changes are on disk when a writing call returns; kept for callers that flush.
KVREG_EXPORT LSTATUS RegFlushKey(HKEY hKey);

KVREG_EXPORT LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData);
KVREG_EXPORT LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                    const BYTE* lpData, DWORD cbData);
KVREG_EXPORT LSTATUS RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                                  PVOID pvData, LPDWORD pcbData);
KVREG_EXPORT LSTATUS RegSetKeyValueA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, DWORD dwType,
                                     LPCVOID lpData, DWORD cbData);
KVREG_EXPORT LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
KVREG_EXPORT LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
KVREG_EXPORT LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

KVREG_EXPORT LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                   LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                   struct _FILETIME* lpftLastWriteTime);
KVREG_EXPORT LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Classes are not kept (empty); the security descriptor size is 0; the last write time is the
// store file's.
KVREG_EXPORT LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                      LPDWORD lpcbSecurityDescriptor, struct _FILETIME* lpftLastWriteTime);

// ---- The store (not Win32): for tools and tests ------------------------------------------------

#define KVPOSIX_MACHINE_REGISTRY "/etc/kvlumen/registry.reg"

// Makes `path` the store of this process, ahead of KVLUMEN_REGISTRY; NULL or "" returns to the
// environment and the default. Always ERROR_SUCCESS.
KVREG_EXPORT LSTATUS KvRegSetStorePath(LPCSTR path);

// Copies the store path in effect now into `buffer` (NUL-terminated when it fits). Returns its
// length without the NUL; when that is >= `size`, nothing usable was copied.
KVREG_EXPORT DWORD KvRegGetStorePath(LPSTR buffer, DWORD size);

// Whether the store file can be read completely. ERROR_SUCCESS; or ERROR_BADDB with the reason
// (the file's path and the first line that cannot be read, or that it is not text) copied into
// `description` (cut to fit, NUL-terminated; may be NULL), after which the process does not say
// it on its own; or the error that keeps the file from being read at all.
KVREG_EXPORT LSTATUS KvRegCheckStore(LPSTR description, DWORD size);

// Applies a .reg file to the store in one atomic change, with regedit's meaning: [key] creates,
// [-key] deletes a tree, "name"=- deletes a value. Accepts "Windows Registry Editor Version 5.00"
// (UTF-16LE with a byte order mark, as Windows writes it, or bytes/UTF-8) and "REGEDIT4"; root
// names long or short. UTF-16 text is narrowed unit by unit; units above 0xFF become '?'.
// Returns ERROR_FILE_NOT_FOUND when the file is missing, ERROR_BAD_FORMAT when its first line is
// not one of those headers; lines that cannot be parsed are skipped. ERROR_INVALID_HANDLE says
// that a section named a root this store does not have (HKEY_CURRENT_CONFIG, a typing error):
// its values were skipped, everything else was imported.
KVREG_EXPORT LSTATUS KvRegImportFile(LPCSTR path);

// Writes `keyPath` ("HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X"; NULL or "" for the
// whole store) with all its subkeys to `file` as .reg text in the store's own format, replacing
// the file. ERROR_FILE_NOT_FOUND when the key does not exist; ERROR_INVALID_PARAMETER for an
// unknown root. Keys below HKEY_CLASSES_ROOT are written under HKEY_LOCAL_MACHINE\Software\Classes.
KVREG_EXPORT LSTATUS KvRegExportKey(LPCSTR keyPath, LPCSTR file);

#ifdef __cplusplus
}
#endif
