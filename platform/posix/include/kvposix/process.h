// process.h -- child processes, modules (shared libraries), environment, debugger output.
//
// CreateProcessA splits the command line with the Windows rules (quotes, backslashes before
// quotes) into argv and starts the program with posix_spawn: lpApplicationName as given, or
// else the first argument, searched in PATH when it has no '/'. The process handle is signalled
// when the child ends; its exit code is the child's exit status, 128 + the signal number for a
// child killed by a signal, or the code given to TerminateProcess. The thread handle stands for
// the child's main thread: it is signalled with the process and carries the same exit code.
// bInheritHandles FALSE closes every descriptor above standard error in the child. DETACHED_PROCESS
// starts the child in a session of its own (no terminal, no Ctrl+C from ours). Not supported,
// ERROR_NOT_SUPPORTED: CREATE_SUSPENDED and other creation flags, STARTF_USESTDHANDLES.
//
// An HMODULE is the base address of a loaded shared object, as on Windows: any address inside a
// module names it in GetModuleFileNameA. Libraries are loaded RTLD_NOW | RTLD_LOCAL.
#pragma once

#include "kvposix/wintypes.h"

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

#define STARTF_USESHOWWINDOW 0x00000001u
#define STARTF_USESTDHANDLES 0x00000100u
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define LOAD_LIBRARY_AS_DATAFILE 0x00000002u
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001u
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u

typedef INT_PTR(WINAPI* FARPROC)(void);

KVAPI DWORD GetCurrentProcessId(void);
KVAPI BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                          LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                          LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                          LPPROCESS_INFORMATION lpProcessInformation);
KVAPI BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
KVAPI BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

KVAPI HMODULE LoadLibraryA(LPCSTR lpLibFileName);
KVAPI HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
KVAPI FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
KVAPI BOOL FreeLibrary(HMODULE hLibModule);
// Null: the program. A name: a library already loaded under that name (not loaded here).
KVAPI HMODULE GetModuleHandleA(LPCSTR lpModuleName);
// Null: the program (/proc/self/exe). The result is an absolute path.
KVAPI DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// The process environment. Not safe against other threads reading the environment at the
// same time (setenv), so change it only while no other thread uses it.
KVAPI DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
KVAPI BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);

// Debugger output goes to standard error, each string in one write.
KVAPI void OutputDebugStringA(LPCSTR lpOutputString);
KVAPI void OutputDebugStringW(LPCWSTR lpOutputString);

#define STARTUPINFO STARTUPINFOA
#define LPSTARTUPINFO LPSTARTUPINFOA
#define CreateProcess CreateProcessA
#define LoadLibrary LoadLibraryA
#define LoadLibraryEx LoadLibraryExA
#define GetModuleHandle GetModuleHandleA
#define GetModuleFileName GetModuleFileNameA
#define GetEnvironmentVariable GetEnvironmentVariableA
#define SetEnvironmentVariable SetEnvironmentVariableA
#define OutputDebugString OutputDebugStringA
