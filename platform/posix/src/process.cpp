// process.cpp -- child processes, modules, environment, debugger output.
#include "CommandLine.h"
#include "KernelObject.h"
#include "Win32Error.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

using namespace kvposix;

namespace {

constexpr DWORD kSupportedCreationFlags = DETACHED_PROCESS | NORMAL_PRIORITY_CLASS | CREATE_NO_WINDOW |
                                          0x00000200u /* CREATE_NEW_PROCESS_GROUP */ |
                                          0x01000000u /* CREATE_BREAKAWAY_FROM_JOB */ |
                                          0x04000000u /* CREATE_DEFAULT_ERROR_MODE */;
constexpr size_t kReaperStack = 256 * 1024;

// A child process. A reaper thread per child waits for its end, so that no child is left a
// zombie whether or not anyone waits on its handle. The reaper first waits without reaping
// (WNOWAIT) and reaps under the lock: while the flag says "not reaped", the pid cannot have
// been reused, so TerminateProcess never signals a stranger.
class Process final : public KernelObject {
public:
    explicit Process(pid_t pid) : KernelObject(ObjectKind::Process), mPid(pid) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(mLock);
        return WaitUntil(mChanged, lock, milliseconds, [this] { return mReaped; }) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(mLock);
        return mReaped ? mExitCode : STILL_ACTIVE;
    }

    BOOL Terminate(UINT exitCode) {
        std::lock_guard<std::mutex> lock(mLock);
        if (mReaped) return FailWith(ERROR_ACCESS_DENIED, FALSE);  // as Windows, for an ended process
        if (!mTerminated) {
            mTerminated = true;
            mTerminationCode = exitCode;
        }
        kill(mPid, SIGKILL);
        return TRUE;
    }

    pid_t pid() const { return mPid; }

    // Starts the reaper, which holds a reference of its own.
    bool StartReaper() {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attributes, kReaperStack);
        AddRef();
        pthread_t thread;
        int rc = pthread_create(&thread, &attributes, &Process::Reap, this);
        pthread_attr_destroy(&attributes);
        if (rc != 0) {
            Release();
            return false;
        }
        return true;
    }

    // For a child whose reaper could not start.
    void KillAndReap() {
        kill(mPid, SIGKILL);
        while (waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

private:
    static void* Reap(void* argument) {
        Process* self = static_cast<Process*>(argument);
        siginfo_t info = {};
        int rc;
        do {
            rc = waitid(P_PID, static_cast<id_t>(self->mPid), &info, WEXITED | WNOWAIT);
        } while (rc != 0 && errno == EINTR);
        {
            std::lock_guard<std::mutex> lock(self->mLock);
            int status = 0;
            pid_t reaped;
            do {
                reaped = waitpid(self->mPid, &status, 0);
            } while (reaped < 0 && errno == EINTR);
            if (reaped != self->mPid) {
                // Someone else reaped it (SIGCHLD ignored, or a waitpid(-1) elsewhere): the
                // status is lost.
                self->mExitCode = 0xFFFFFFFFu;
            } else if (WIFEXITED(status)) {
                self->mExitCode = static_cast<DWORD>(WEXITSTATUS(status));
            } else if (WIFSIGNALED(status) && self->mTerminated && WTERMSIG(status) == SIGKILL) {
                self->mExitCode = self->mTerminationCode;
            } else if (WIFSIGNALED(status)) {
                self->mExitCode = 128u + static_cast<DWORD>(WTERMSIG(status));
            } else {
                self->mExitCode = 0xFFFFFFFFu;
            }
            self->mReaped = true;
            self->mChanged.notify_all();
        }
        self->Release();
        return nullptr;
    }

    std::mutex mLock;
    std::condition_variable mChanged;
    const pid_t mPid;
    bool mReaped = false;
    bool mTerminated = false;
    DWORD mTerminationCode = 0;
    DWORD mExitCode = STILL_ACTIVE;
};

// The child's main thread, as far as a handle to it can tell: it ends with the process.
class ProcessMainThread final : public ThreadObject {
public:
    explicit ProcessMainThread(Process* process) : mProcess(process) { process->AddRef(); }
    ~ProcessMainThread() override { mProcess->Release(); }
    DWORD Wait(DWORD milliseconds) override { return mProcess->Wait(milliseconds); }
    DWORD ExitCode() override { return mProcess->ExitCode(); }
    DWORD Resume() override { return 0; }

private:
    Process* const mProcess;
};

// "NAME=value\0NAME=value\0\0" into an envp array pointing into the block.
std::vector<char*> EnvironmentFromBlock(char* block) {
    std::vector<char*> result;
    for (char* entry = block; *entry; entry += strlen(entry) + 1) result.push_back(entry);
    result.push_back(nullptr);
    return result;
}

// Configures the child: default signal handling and an empty mask, whatever ours are.
int PrepareAttributes(posix_spawnattr_t* attributes, DWORD creationFlags) {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);  // cannot be changed anyway
    sigdelset(&all, SIGSTOP);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (creationFlags & DETACHED_PROCESS) flags |= POSIX_SPAWN_SETSID;
    else if (creationFlags & 0x00000200u /* CREATE_NEW_PROCESS_GROUP */) flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setsigmask(attributes, &none);
    posix_spawnattr_setsigdefault(attributes, &all);
    posix_spawnattr_setpgroup(attributes, 0);
    return posix_spawnattr_setflags(attributes, flags);
}

// The link map of the module that contains `address`, or null.
link_map* ModuleContaining(const void* address) {
    Dl_info info;
    link_map* map = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)) return nullptr;
    return map;
}

link_map* ProgramMap() {
    static link_map* program = [] {
        link_map* map = nullptr;
        if (void* self = dlopen(nullptr, RTLD_LAZY)) {
            dlinfo(self, RTLD_DI_LINKMAP, &map);
            dlclose(self);
        }
        return map;
    }();
    return program;
}

bool IsProgram(const link_map* map) { return map == ProgramMap() || !map->l_name || !*map->l_name; }

// An HMODULE is the module's base address, as on Windows.
HMODULE BaseOf(void* dlHandle) {
    link_map* map = nullptr;
    Dl_info info;
    if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || !map || !dladdr(map->l_ld, &info)) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

// A dlopen handle (a counted reference) for the module `module` names; null if none.
void* OpenModule(HMODULE module) {
    link_map* map = ModuleContaining(module);
    if (!map) return nullptr;
    if (IsProgram(map)) return dlopen(nullptr, RTLD_LAZY);
    return dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD);
}

std::string ProgramPath() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length < 0) return std::string();
    return std::string(path, static_cast<size_t>(length));
}

// Windows narrows wide debugger output through the ANSI code page: byte for byte here.
std::string Narrow(LPCWSTR text) {
    std::string result;
    for (; *text; ++text) result += static_cast<unsigned>(*text) <= 0xFF ? static_cast<char>(*text) : '?';
    return result;
}

void WriteToStandardError(const char* text, size_t length) {
    int saved = errno;
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        text += written;
        length -= static_cast<size_t>(written);
    }
    errno = saved;
}

}  // namespace

KVAPI DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

KVAPI BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                          BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                          LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
    if (!lpStartupInfo || !lpProcessInformation) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (!lpApplicationName && (!lpCommandLine || !*lpCommandLine)) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if ((dwCreationFlags & ~kSupportedCreationFlags) || (lpStartupInfo->dwFlags & STARTF_USESTDHANDLES)) {
        return FailWith(ERROR_NOT_SUPPORTED, FALSE);
    }
    if (lpCurrentDirectory) {
        struct stat status;
        if (stat(lpCurrentDirectory, &status) != 0 || !S_ISDIR(status.st_mode)) return FailWith(ERROR_DIRECTORY, FALSE);
    }

    std::vector<std::string> arguments;
    try {
        arguments = SplitCommandLine(lpCommandLine ? lpCommandLine : "");
        if (arguments.empty()) arguments.push_back(lpApplicationName);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    }
    const std::string program = lpApplicationName ? lpApplicationName : arguments[0];
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (lpEnvironment) envp = EnvironmentFromBlock(static_cast<char*>(lpEnvironment));

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (int rc = posix_spawn_file_actions_init(&actions)) return FailWith(Win32ErrorFromErrno(rc), FALSE);
    if (int rc = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return FailWith(Win32ErrorFromErrno(rc), FALSE);
    }
    int rc = PrepareAttributes(&attributes, dwCreationFlags);
    if (rc == 0 && lpCurrentDirectory) rc = posix_spawn_file_actions_addchdir_np(&actions, lpCurrentDirectory);
    // Without handle inheritance the child gets nothing but its standard streams.
    if (rc == 0 && !bInheritHandles) rc = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = -1;
    if (rc == 0) {
        char** environment = lpEnvironment ? envp.data() : environ;
        // Searched in PATH only when the program came from the command line, as Windows does.
        if (!lpApplicationName && program.find('/') == std::string::npos) {
            rc = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environment);
        } else {
            rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environment);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return FailWith(Win32ErrorFromErrno(rc), FALSE);

    Process* process = new (std::nothrow) Process(pid);
    if (!process || !process->StartReaper()) {
        if (process) {
            process->KillAndReap();
            process->Release();
        } else {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    }
    Ref<Process> keep(process);  // our reference, until both handles exist
    ProcessMainThread* mainThread = new (std::nothrow) ProcessMainThread(process);
    process->AddRef();
    HANDLE processHandle = InsertHandle(process);
    HANDLE threadHandle = mainThread ? InsertHandle(mainThread) : nullptr;
    if (!processHandle || !threadHandle) {
        // A child nobody can see: end it (the reaper collects it).
        process->Terminate(1);
        if (processHandle) CloseHandle(processHandle);
        if (threadHandle) CloseHandle(threadHandle);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    }
    lpProcessInformation->hProcess = processHandle;
    lpProcessInformation->hThread = threadHandle;
    lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);  // the main thread's id is the pid
    return TRUE;
}

KVAPI BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    Ref<Process> process = ReferenceHandleAs<Process>(hProcess, ObjectKind::Process);
    if (!process) return FALSE;
    if (!lpExitCode) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    *lpExitCode = process->ExitCode();
    return TRUE;
}

KVAPI BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    Ref<Process> process = ReferenceHandleAs<Process>(hProcess, ObjectKind::Process);
    if (!process) return FALSE;
    return process->Terminate(uExitCode);
}

KVAPI HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (!lpLibFileName || !*lpLibFileName || hFile) return FailWith(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
    if (dwFlags & (DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE | 0x00000020u | 0x00000040u)) {
        return FailWith(ERROR_NOT_SUPPORTED, HMODULE(nullptr));
    }
    void* handle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        // A file that is there but does not load is not an image we can use.
        bool present = strchr(lpLibFileName, '/') && access(lpLibFileName, F_OK) == 0;
        return FailWith(present ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    }
    HMODULE module = BaseOf(handle);
    if (!module) {
        dlclose(handle);
        return FailWith(ERROR_BAD_EXE_FORMAT, HMODULE(nullptr));
    }
    return module;  // the dlopen reference stays until FreeLibrary
}

KVAPI HMODULE LoadLibraryA(LPCSTR lpLibFileName) { return LoadLibraryExA(lpLibFileName, nullptr, 0); }

KVAPI FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) return FailWith(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
    link_map* map = hModule ? ModuleContaining(hModule) : ProgramMap();
    void* handle = map ? OpenModule(hModule ? hModule : GetModuleHandleA(nullptr)) : nullptr;
    if (!handle) return FailWith(ERROR_MOD_NOT_FOUND, FARPROC(nullptr));
    void* symbol = dlsym(handle, lpProcName);
    dlclose(handle);
    // dlsym also searches the module's dependencies; Windows looks at the module's exports only.
    if (!symbol || ModuleContaining(symbol) != map) return FailWith(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
    return reinterpret_cast<FARPROC>(symbol);
}

KVAPI BOOL FreeLibrary(HMODULE hLibModule) {
    link_map* map = hLibModule ? ModuleContaining(hLibModule) : nullptr;
    if (!map) return FailWith(ERROR_MOD_NOT_FOUND, FALSE);
    if (IsProgram(map)) return TRUE;
    void* handle = dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return FailWith(ERROR_MOD_NOT_FOUND, FALSE);
    dlclose(handle);  // the reference just taken
    dlclose(handle);  // the one LoadLibrary took
    return TRUE;
}

KVAPI HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    void* handle = lpModuleName ? dlopen(lpModuleName, RTLD_LAZY | RTLD_NOLOAD) : dlopen(nullptr, RTLD_LAZY);
    if (!handle) return FailWith(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    HMODULE module = BaseOf(handle);
    dlclose(handle);
    if (!module) return FailWith(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    return module;
}

KVAPI DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    link_map* map = hModule ? ModuleContaining(hModule) : ProgramMap();
    if (!map) return FailWith(ERROR_MOD_NOT_FOUND, DWORD(0));
    if (!hModule || IsProgram(map)) {
        path = ProgramPath();
    } else {
        char* resolved = realpath(map->l_name, nullptr);
        path = resolved ? resolved : map->l_name;
        free(resolved);
    }
    if (path.empty()) return FailWithErrno(DWORD(0));
    if (nSize == 0 || !lpFilename) return FailWith(ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    // Too small: truncated, terminated, the full size returned and the error set (Vista on).
    if (path.size() >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        return FailWith(ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

KVAPI DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    if (!lpName) return FailWith(ERROR_INVALID_PARAMETER, DWORD(0));
    const char* value = getenv(lpName);
    if (!value) return FailWith(ERROR_ENVVAR_NOT_FOUND, DWORD(0));
    size_t length = strlen(value);
    if (length + 1 > nSize || !lpBuffer) return static_cast<DWORD>(length + 1);
    memcpy(lpBuffer, value, length + 1);
    return static_cast<DWORD>(length);
}

KVAPI BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (!lpName || !*lpName || strchr(lpName, '=')) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    int rc = lpValue ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
    if (rc != 0) return FailWithErrno(FALSE);
    return TRUE;
}

KVAPI void OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString) WriteToStandardError(lpOutputString, strlen(lpOutputString));
}

KVAPI void OutputDebugStringW(LPCWSTR lpOutputString) {
    if (!lpOutputString) return;
    try {
        std::string text = Narrow(lpOutputString);
        WriteToStandardError(text.data(), text.size());
    } catch (const std::bad_alloc&) {
    }
}
