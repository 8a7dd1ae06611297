// ProcessTests.cpp -- child processes, modules, the environment.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

#ifdef _WIN32
const char kLibrary[] = "kernel32.dll";
#else
const char kLibrary[] = "libkvposix.so";
#endif

struct Child {
    PROCESS_INFORMATION info = {};
    bool started = false;
    ~Child() {
        if (!started) return;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
};

// Starts this program as the child `name` with `arguments` through CreateProcessA itself.
bool Start(Child& child, const std::string& name, const std::string& arguments) {
    std::string line = "\"" + kvtest::SelfPath() + "\" --kv-child=" + name + " " + arguments;
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    child.started = CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                   nullptr, &startup, &child.info) != FALSE;
    return child.started;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(tolower(c)); });
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// Child: sleeps argv[1] milliseconds, then exits with the code argv[0].
KV_TEST_CHILD(process_exit_with) {
    if (argc < 2) return 1;
    Sleep(static_cast<DWORD>(atoi(argv[1])));
    return atoi(argv[0]);
}

// Child: writes each argument after argv[0] to the file argv[0], as "<length>:<text>\n".
KV_TEST_CHILD(process_write_args) {
    if (argc < 1) return 1;
    FILE* out = fopen(argv[0], "wb");
    if (!out) return 2;
    for (int i = 1; i < argc; ++i) fprintf(out, "%u:%s\n", static_cast<unsigned>(strlen(argv[i])), argv[i]);
    fclose(out);
    return 0;
}

// The process handle is signalled when the child ends and then gives its exit code; before,
// the code reads STILL_ACTIVE. The thread handle ends with it.
TEST(ProcessCreate, ExitCodeAfterTheChildEnds) {
    Child child;
    ASSERT_TRUE(Start(child, "process_exit_with", "7 500"));
    EXPECT_NE(0u, child.info.dwProcessId);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(child.info.hProcess, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.info.hProcess, 60000));
    ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
    EXPECT_EQ(7u, code);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.info.hThread, 10000));
}

// TerminateProcess ends the child with the given exit code.
TEST(ProcessCreate, TerminateProcessSetsTheExitCode) {
    Child child;
    ASSERT_TRUE(Start(child, "process_exit_with", "0 60000"));
    EXPECT_TRUE(TerminateProcess(child.info.hProcess, 55));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.info.hProcess, 30000));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
    EXPECT_EQ(55u, code);
}

// A program that does not exist is ERROR_FILE_NOT_FOUND.
TEST(ProcessCreate, MissingProgramIsFileNotFound) {
    kvtest::ScopedTempDir folder;
    std::string program = folder.file("no-such-program.exe");
    std::vector<char> line(program.begin(), program.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

// The child receives the arguments the Windows quoting rules give: quotes group, backslashes
// are literal except before a quote.
TEST(ProcessCreate, CommandLineFollowsWindowsQuoting) {
    kvtest::ScopedTempDir folder;
    std::string output = folder.file("args.txt");
    const std::string line = "\"" + output + "\"" + R"( plain "with space" a\\b \"q\" "tail\\" x\\\"y "" ab"c d"ef)";
    const std::vector<std::string> expected = {"plain", "with space", R"(a\\b)", R"("q")", R"(tail\)",
                                               R"(x\"y)", "",           "abc def"};
    Child child;
    ASSERT_TRUE(Start(child, "process_write_args", line));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.info.hProcess, 60000));
    std::string want;
    for (const std::string& argument : expected) want += std::to_string(argument.size()) + ":" + argument + "\n";
    EXPECT_EQ(want, kvtest::ReadWholeFile(output));
}

// A library loads, gives its exports by name and not what it lacks, and knows its file name.
TEST(ProcessModules, LoadLibraryAndGetProcAddress) {
    HMODULE module = LoadLibraryA(kLibrary);
    ASSERT_NE(nullptr, module);
    typedef DWORD(WINAPI * GetId)(void);
    // Through void (*)(void): the portable way to say the cast of a function pointer is meant.
    GetId getId = reinterpret_cast<GetId>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, "GetCurrentProcessId")));
    ASSERT_NE(nullptr, getId);
    EXPECT_EQ(GetCurrentProcessId(), getId());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, GetProcAddress(module, "KvNoSuchFunctionAnywhere"));
    EXPECT_EQ(DWORD(ERROR_PROC_NOT_FOUND), GetLastError());

    char path[MAX_PATH * 4] = {};
    DWORD length = GetModuleFileNameA(module, path, sizeof(path));
    ASSERT_GT(length, 0u);
    EXPECT_TRUE(EndsWith(Lower(path), kLibrary)) << path;
    EXPECT_TRUE(FreeLibrary(module));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, LoadLibraryExA("kv-no-such-module.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
}

// The program's module: GetModuleFileNameA(NULL) names this program, an existing file, and
// truncates to a short buffer with ERROR_INSUFFICIENT_BUFFER.
TEST(ProcessModules, ProgramFileName) {
    char path[MAX_PATH * 4] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, std::string(path).size());
#ifdef _WIN32
    EXPECT_TRUE(EndsWith(Lower(path), "platform_tests.exe")) << path;
#else
    EXPECT_TRUE(EndsWith(path, "/platform_tests")) << path;
#endif
    HANDLE self = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, self);
    CloseHandle(self);

    HMODULE program = GetModuleHandleA(nullptr);
    ASSERT_NE(nullptr, program);
    char again[MAX_PATH * 4] = {};
    EXPECT_EQ(length, GetModuleFileNameA(program, again, sizeof(again)));
    EXPECT_STREQ(path, again);

    char small[5];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, small, sizeof(small)));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(0, strncmp(path, small, 4)) << "truncated";
}

// Environment variables: set, read with Win32's size rules, removed.
TEST(ProcessEnvironment, SetGetAndRemove) {
    const char* name = "KV_TEST_ENVIRONMENT_VALUE";
    ASSERT_TRUE(SetEnvironmentVariableA(name, "value"));
    char buffer[32] = {};
    EXPECT_EQ(5u, GetEnvironmentVariableA(name, buffer, sizeof(buffer)));
    EXPECT_STREQ("value", buffer);
    EXPECT_EQ(6u, GetEnvironmentVariableA(name, buffer, 3)) << "the size needed, terminator included";
    ASSERT_TRUE(SetEnvironmentVariableA(name, nullptr));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, GetEnvironmentVariableA(name, buffer, sizeof(buffer)));
    EXPECT_EQ(DWORD(ERROR_ENVVAR_NOT_FOUND), GetLastError());
}
