// PosixProcessTests.cpp -- what only the POSIX layer's processes and modules do: argument
// splitting, descriptor inheritance, sessions, environment blocks, module lookup, debug output.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "PosixCoreTestSupport.h"
#include "TestSupport.h"

namespace {

struct Started {
    PROCESS_INFORMATION info = {};
    BOOL ok = FALSE;
    DWORD error = 0;
    ~Started() {
        if (!ok) return;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
};

// Starts this program as the child `name`; the rest as CreateProcessA takes it.
void StartChild(Started& started, const std::string& name, const std::string& arguments, BOOL inherit = FALSE,
                DWORD flags = 0, const char* environment = nullptr, const char* directory = nullptr,
                DWORD startFlags = 0) {
    std::string line = "\"" + kvtest::SelfPath() + "\" --kv-child=" + name + " " + arguments;
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = startFlags;
    SetLastError(0);
    started.ok = CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, inherit, flags,
                                const_cast<char*>(environment), directory, &startup, &started.info);
    started.error = GetLastError();
}

DWORD RunToEnd(const std::string& name, const std::string& arguments, BOOL inherit = FALSE, DWORD flags = 0,
               const char* environment = nullptr, const char* directory = nullptr) {
    Started started;
    StartChild(started, name, arguments, inherit, flags, environment, directory);
    if (!started.ok) return 0xFFFFFFF0u;
    return kvposixtest::ExitCodeOf(started.info.hProcess);
}

// Reads what `emit` writes to standard error.
template <class Emit>
std::string CaptureStandardError(Emit emit) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return "<no pipe>";
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(pipeEnds[1], STDERR_FILENO);
    close(pipeEnds[1]);
    emit();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
    close(pipeEnds[0]);
    return text;
}

}  // namespace

// Child: writes each argument after argv[0] to the file argv[0], as "<length>:<text>\n".
KV_TEST_CHILD(core_write_args) {
    if (argc < 1) return 1;
    FILE* out = fopen(argv[0], "wb");
    if (!out) return 2;
    for (int i = 1; i < argc; ++i) fprintf(out, "%zu:%s\n", strlen(argv[i]), argv[i]);
    fclose(out);
    return 0;
}

// Child: 1 when some descriptor of it leads to the file argv[0], else 0.
KV_TEST_CHILD(core_has_descriptor_for) {
    if (argc < 1) return 9;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char target[PATH_MAX];
        snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        ssize_t length = readlink(link, target, sizeof(target) - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (strcmp(target, argv[0]) == 0) return 1;
    }
    return 0;
}

// Child: 0 when its environment holds KV_ONLY=argv[0] and no PATH, else 1.
KV_TEST_CHILD(core_environment) {
    if (argc < 1) return 9;
    const char* value = getenv("KV_ONLY");
    return value && strcmp(value, argv[0]) == 0 && !getenv("PATH") ? 0 : 1;
}

// Child: 0 when its working folder is argv[0].
KV_TEST_CHILD(core_directory) {
    if (argc < 1) return 9;
    char here[PATH_MAX];
    char* want = realpath(argv[0], nullptr);
    bool same = getcwd(here, sizeof(here)) && want && strcmp(here, want) == 0;
    free(want);
    return same ? 0 : 1;
}

// Child: 0 when it leads a session of its own.
KV_TEST_CHILD(core_session) { return getsid(0) == getpid() ? 0 : 1; }

// Child: ends by a signal.
KV_TEST_CHILD(core_raise) {
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    return 0;
}

// The Windows rules as the C runtime applies them, down to "" inside quotes and runs of
// backslashes before a quote, and tabs as separators.
TEST(PosixProcess, CommandLineSplitting) {
    kvtest::ScopedTempDir folder;
    std::string output = folder.file("args.txt");
    const std::string line = "\"" + output + "\"" + R"( "a""b" \\\\"two"	tab "x\\y" end\)";
    const std::vector<std::string> expected = {R"(a"b)", R"(\\two)", "tab", R"(x\\y)", R"(end\)"};
    ASSERT_EQ(0u, RunToEnd("core_write_args", line));
    std::string want;
    for (const std::string& argument : expected) want += std::to_string(argument.size()) + ":" + argument + "\n";
    EXPECT_EQ(want, kvtest::ReadWholeFile(output));
}

// A child started without handle inheritance gets no descriptor but the standard three; with
// it, it gets the inheritable ones only.
TEST(PosixProcess, OnlyInheritableHandlesReachTheChild) {
    kvtest::ScopedTempDir folder;
    std::string inheritable = folder.file("inheritable.txt");
    std::string privateFile = folder.file("private.txt");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE shared = CreateFileA(inheritable.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_NEW, 0, nullptr);
    HANDLE kept = CreateFileA(privateFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, shared);
    ASSERT_NE(INVALID_HANDLE_VALUE, kept);
    EXPECT_EQ(0u, RunToEnd("core_has_descriptor_for", "\"" + inheritable + "\"", FALSE));
    EXPECT_EQ(1u, RunToEnd("core_has_descriptor_for", "\"" + inheritable + "\"", TRUE));
    EXPECT_EQ(0u, RunToEnd("core_has_descriptor_for", "\"" + privateFile + "\"", TRUE));
    CloseHandle(shared);
    CloseHandle(kept);
}

// An environment block replaces the environment; a working folder is entered; a missing one is
// ERROR_DIRECTORY.
TEST(PosixProcess, EnvironmentBlockAndWorkingFolder) {
    static const char block[] = "KV_ONLY=some value\0OTHER=1\0";
    EXPECT_EQ(0u, RunToEnd("core_environment", "\"some value\"", FALSE, 0, block));
    kvtest::ScopedTempDir folder;
    EXPECT_EQ(0u, RunToEnd("core_directory", "\"" + folder.path() + "\"", FALSE, 0, nullptr, folder.path().c_str()));
    Started started;
    StartChild(started, "core_directory", ".", FALSE, 0, nullptr, folder.file("absent").c_str());
    EXPECT_FALSE(started.ok);
    EXPECT_EQ(DWORD(ERROR_DIRECTORY), started.error);
}

// DETACHED_PROCESS starts the child in a session of its own; a child killed by a signal exits
// with 128 + the signal; unsupported requests fail with ERROR_NOT_SUPPORTED.
TEST(PosixProcess, CreationFlagsAndSignals) {
    EXPECT_EQ(0u, RunToEnd("core_session", "", FALSE, DETACHED_PROCESS));
    EXPECT_EQ(1u, RunToEnd("core_session", "", FALSE, 0));
    EXPECT_EQ(128u + SIGTERM, RunToEnd("core_raise", ""));
    Started suspended;
    StartChild(suspended, "core_session", "", FALSE, CREATE_SUSPENDED);
    EXPECT_FALSE(suspended.ok);
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), suspended.error);
    Started redirected;
    StartChild(redirected, "core_session", "", FALSE, 0, nullptr, nullptr, STARTF_USESTDHANDLES);
    EXPECT_FALSE(redirected.ok);
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), redirected.error);
}

// A process handle that outlives its child reports the end and refuses to terminate it again.
TEST(PosixProcess, EndedProcessCannotBeTerminated) {
    Started started;
    StartChild(started, "core_session", "");
    ASSERT_TRUE(started.ok);
    EXPECT_EQ(1u, kvposixtest::ExitCodeOf(started.info.hProcess));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(TerminateProcess(started.info.hProcess, 3));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(started.info.hThread, &code)) << "the main thread's stand-in";
    EXPECT_EQ(1u, code);
}

// An HMODULE is the module's base address: any address inside names the module, exports are
// the module's own (not its dependencies'), and a file that is no library does not load.
TEST(PosixModule, ModulesAreBaseAddresses) {
    HMODULE layer = GetModuleHandleA("libkvposix.so");
    ASSERT_NE(nullptr, layer);
    FARPROC getAcp = GetProcAddress(layer, "GetACP");
    ASSERT_NE(nullptr, getAcp);
    char path[PATH_MAX] = {};
    ASSERT_GT(GetModuleFileNameA(reinterpret_cast<HMODULE>(reinterpret_cast<void*>(getAcp)), path, sizeof(path)), 0u);
    std::string name = path;
    EXPECT_EQ(0u, name.find('/')) << "absolute";
    EXPECT_NE(std::string::npos, name.find("libkvposix.so")) << name;

    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, GetProcAddress(layer, "malloc")) << "from libc, a dependency";
    EXPECT_EQ(DWORD(ERROR_PROC_NOT_FOUND), GetLastError());

    kvtest::ScopedTempDir folder;
    std::string fake = folder.file("fake.so");
    FILE* out = fopen(fake.c_str(), "wb");
    fputs("not a shared object", out);
    fclose(out);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, LoadLibraryA(fake.c_str()));
    EXPECT_EQ(DWORD(ERROR_BAD_EXE_FORMAT), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, GetModuleHandleA("libkv-not-loaded.so"));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
}

// Debugger output goes to standard error as it is; wide text narrows byte for byte.
TEST(PosixDebugOutput, WritesToStandardError) {
    EXPECT_EQ("hello debugger\n", CaptureStandardError([] { OutputDebugStringA("hello debugger\n"); }));
    const WCHAR wide[] = {'w', 0xE9, 0x4E2D, '\n', 0};
    EXPECT_EQ("w\xE9?\n", CaptureStandardError([&] { OutputDebugStringW(wide); }));
    SetLastError(0xdeadbeef);
    CaptureStandardError([] { OutputDebugStringA("x"); });
    EXPECT_EQ(0xdeadbeefu, GetLastError()) << "output keeps the last error";
}
