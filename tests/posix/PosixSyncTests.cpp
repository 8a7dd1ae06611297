// PosixSyncTests.cpp -- what only the POSIX layer's threads and mutexes do: no forced thread
// termination, named mutexes as files in /dev/shm that live exactly as long as their handles.
#include <gtest/gtest.h>
#include <windows.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "PosixCoreTestSupport.h"
#include "TestSupport.h"

namespace {

std::string UniqueName(const std::string& what) {
    static LONG sequence = 0;
    return "kvtest-core-" + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(InterlockedIncrement(&sequence));
}

// The file a plain (safe-character) name is kept in.
std::string SharedFileOf(const std::string& name) { return "/dev/shm/kvmutex.n." + name; }

bool Exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

DWORD WINAPI WaitForEvent(LPVOID parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 5;
}

}  // namespace

// Child: opens the mutex argv[0]; with argv[1] == "take" takes it and creates the file argv[2];
// then sleeps until killed.
KV_TEST_CHILD(core_mutex_linger) {
    if (argc < 1) return 1;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[0]);
    if (!mutex) return 2;
    if (argc >= 3 && std::string(argv[1]) == "take") {
        if (WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 3;
        HANDLE flag = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        CloseHandle(flag);
    }
    Sleep(60000);
    return 4;
}

// Child: reports what an immediate wait on the mutex argv[0] sees (10 held, 11 free).
KV_TEST_CHILD(core_mutex_probe) {
    if (argc < 1) return 1;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, argv[0]);
    if (!mutex) return 2;
    DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result == WAIT_TIMEOUT ? 10 : result == WAIT_OBJECT_0 ? 11 : 3;
}

// Child: argv[2] times, creates the mutex argv[0], takes it, appends "(" and ")" in two
// writes to the file argv[1], releases and closes it.
KV_TEST_CHILD(core_mutex_append) {
    if (argc < 3) return 1;
    for (int round = atoi(argv[2]); round > 0; --round) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[0]);
        if (!mutex) return 2;
        DWORD waited = WaitForSingleObject(mutex, 30000);
        if (waited != WAIT_OBJECT_0) return 3;
        HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) return 4;
        DWORD written = 0;
        SetFilePointer(file, 0, nullptr, FILE_END);
        WriteFile(file, "(", 1, &written, nullptr);
        Sleep(0);
        SetFilePointer(file, 0, nullptr, FILE_END);
        WriteFile(file, ")", 1, &written, nullptr);
        CloseHandle(file);
        if (!ReleaseMutex(mutex)) return 5;
        CloseHandle(mutex);
    }
    return 0;
}

// TerminateThread cannot exist here: it fails with ERROR_CALL_NOT_IMPLEMENTED and the thread
// runs on, reading as active, to its normal end.
TEST(PosixThread, TerminateThreadIsNotImplemented) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, release, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(TerminateThread(thread, 99));
    EXPECT_EQ(DWORD(ERROR_CALL_NOT_IMPLEMENTED), GetLastError());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    SetEvent(release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(5u, code);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(TerminateThread(nullptr, 0)) << "an invalid handle is still an invalid handle";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(thread);
    CloseHandle(release);
}

// The thread id is remembered per thread; a child made by fork has an id of its own and says so.
TEST(PosixThread, ForkedChildHasItsOwnThreadId) {
    DWORD parent = GetCurrentThreadId();
    ASSERT_EQ(parent, GetCurrentThreadId());
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) _exit(GetCurrentThreadId() == static_cast<DWORD>(getpid()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child read its parent's thread id";
}

// Named events do not exist here.
TEST(PosixEvent, NamedEventsAreNotSupported) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "kvtest-named-event"));
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), GetLastError());
}

// A named mutex is a file in /dev/shm while any handle is open, its maker's (and the component's
// group's: PosixSharedAccessTests) whatever the attributes, and removed with the last handle.
TEST(PosixMutex, SharedFileLivesWithTheHandles) {
    setenv("KVLUMEN_GROUP", "kvtest-no-such-group", 1);
    std::string name = UniqueName("life");
    HANDLE first = CreateMutexA(nullptr, FALSE, name.c_str());
    unsetenv("KVLUMEN_GROUP");
    ASSERT_NE(nullptr, first);
    ASSERT_TRUE(Exists(SharedFileOf(name)));
    struct stat status = {};
    stat(SharedFileOf(name).c_str(), &status);
    EXPECT_EQ(0600u, status.st_mode & 0777);
    HANDLE second = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(nullptr, second);
    CloseHandle(first);
    EXPECT_TRUE(Exists(SharedFileOf(name))) << "one handle is left";
    CloseHandle(second);
    EXPECT_FALSE(Exists(SharedFileOf(name)));
}

// A process killed while it has the mutex open does not keep the name alive, and one killed
// while owning it abandons it to the next waiter.
TEST(PosixMutex, KilledProcessesNeitherKeepNorBlockIt) {
    kvtest::ScopedTempDir folder;
    std::string name = UniqueName("killed");
    std::string flag = folder.file("taken");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    HANDLE child = kvtest::StartChild("core_mutex_linger", name + " take \"" + flag + "\"");
    ASSERT_NE(nullptr, child);
    for (int i = 0; i < 3000 && !kvtest::FileExists(flag); ++i) Sleep(10);
    ASSERT_TRUE(kvtest::FileExists(flag));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 50));
    ASSERT_TRUE(TerminateProcess(child, 9));
    EXPECT_EQ(9u, kvposixtest::ExitCodeOf(child));
    CloseHandle(child);
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 5000));
    EXPECT_TRUE(ReleaseMutex(mutex));

    child = kvtest::StartChild("core_mutex_linger", name);
    ASSERT_NE(nullptr, child);
    Sleep(200);  // time to open it
    TerminateProcess(child, 1);
    kvposixtest::ExitCodeOf(child);
    CloseHandle(child);
    CloseHandle(mutex);
    EXPECT_FALSE(Exists(SharedFileOf(name))) << "the dead child's hold on the name went with it";
}

// Names that are no safe file names (separators, great length) work across processes too; a
// name beyond what the layer keeps is refused.
TEST(PosixMutex, AnyNameWorksAcrossProcesses) {
    for (const std::string& name : {UniqueName("with/slash\\and back"), UniqueName(std::string(600, 'n'))}) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
        ASSERT_NE(nullptr, mutex) << name;
        EXPECT_EQ(10u, kvtest::RunChild("core_mutex_probe", "\"" + name + "\"")) << name;
        ReleaseMutex(mutex);
        EXPECT_EQ(11u, kvtest::RunChild("core_mutex_probe", "\"" + name + "\"")) << name;
        CloseHandle(mutex);
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, std::string(2000, 'x').c_str()));
    EXPECT_EQ(DWORD(ERROR_FILENAME_EXCED_RANGE), GetLastError());
}

// Processes that keep creating, taking and closing the same name -- so that it is created
// and removed over and over -- still exclude each other every time: no write is lost or split.
TEST(PosixMutex, RacingProcessesShareOneMutex) {
    kvtest::ScopedTempDir folder;
    std::string name = UniqueName("race");
    std::string log = folder.file("log.txt");
    const int kChildren = 4;
    const int kRounds = 100;
    HANDLE children[kChildren];
    for (HANDLE& child : children) {
        child = kvtest::StartChild("core_mutex_append", name + " \"" + log + "\" " + std::to_string(kRounds));
        ASSERT_NE(nullptr, child);
    }
    for (HANDLE child : children) {
        EXPECT_EQ(0u, kvposixtest::ExitCodeOf(child, 120000));
        CloseHandle(child);
    }
    std::string expected;
    for (int i = 0; i < kChildren * kRounds; ++i) expected += "()";
    EXPECT_EQ(expected, kvtest::ReadWholeFile(log));
    EXPECT_FALSE(Exists(SharedFileOf(name)));
}
