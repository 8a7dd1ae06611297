// SyncMutexTests.cpp -- mutexes: ownership, recursion, names shared between processes, abandonment.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace {

// A name no other run or test uses.
std::string UniqueName(const char* what) {
    static LONG sequence = 0;
    return std::string("kvtest-") + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(InterlockedIncrement(&sequence));
}

HANDLE gMutex;

// Returns what a wait from another thread sees, after releasing it again if it got it.
DWORD WINAPI WaitBrieflyFromOtherThread(LPVOID) {
    DWORD result = WaitForSingleObject(gMutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(gMutex);
    return result;
}

DWORD WINAPI ReleaseFromOtherThread(LPVOID) {
    SetLastError(0xdeadbeef);
    if (ReleaseMutex(gMutex)) return 0;
    return GetLastError();
}

DWORD WINAPI TakeAndEnd(LPVOID) { return WaitForSingleObject(gMutex, 10000); }

DWORD RunOnOtherThread(LPTHREAD_START_ROUTINE routine) {
    HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    if (!thread) return 0xFFFFFFFFu;
    WaitForSingleObject(thread, 30000);
    DWORD code = 0xFFFFFFFFu;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

}  // namespace

// Child: opens the mutex named by argv[0] and reports what an immediate wait sees (10: it is
// held elsewhere, 11: it was free, 12: abandoned), releasing what it got. 2: no such mutex.
KV_TEST_CHILD(mutex_probe) {
    if (argc < 1) return 1;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[0]);
    if (!mutex) return GetLastError() == ERROR_FILE_NOT_FOUND ? 2 : 3;
    DWORD result = WaitForSingleObject(mutex, 0);
    int code = result == WAIT_TIMEOUT ? 10 : result == WAIT_OBJECT_0 ? 11 : result == WAIT_ABANDONED ? 12 : 4;
    if (code == 11 || code == 12) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return code;
}

// Child: creates-or-opens the mutex argv[0], takes it and exits without releasing it.
// 0: it existed already (and was taken).
KV_TEST_CHILD(mutex_take_and_die) {
    if (argc < 1) return 1;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[0]);
    if (!mutex) return 2;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return 3;
    if (WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 4;
    return 0;  // the handle and the ownership die with the process
}

// Child: takes the mutex argv[0], creates the file argv[1] to say so, holds the mutex for
// argv[2] milliseconds, releases it.
KV_TEST_CHILD(mutex_hold) {
    if (argc < 3) return 1;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[0]);
    if (!mutex || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 2;
    HANDLE flag = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (flag == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(flag);
    Sleep(static_cast<DWORD>(atoi(argv[2])));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

// Child: creates the mutex argv[0] (exit 2 if it existed), takes it, creates the file argv[1]
// to say so and waits to be killed.
KV_TEST_CHILD(mutex_sole_owner) {
    if (argc < 2) return 1;
    HANDLE mutex = CreateMutexA(nullptr, TRUE, argv[0]);
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) return 2;
    HANDLE flag = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (flag == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(flag);
    Sleep(60000);
    return 4;
}

// The owning thread may take the mutex again; it is free only after as many releases.
TEST(SyncMutex, IsRecursiveForItsOwner) {
    gMutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, gMutex);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gMutex, 0));
    EXPECT_EQ(WAIT_TIMEOUT, RunOnOtherThread(WaitBrieflyFromOtherThread));
    EXPECT_TRUE(ReleaseMutex(gMutex));
    EXPECT_EQ(WAIT_TIMEOUT, RunOnOtherThread(WaitBrieflyFromOtherThread)) << "held once more";
    EXPECT_TRUE(ReleaseMutex(gMutex));
    EXPECT_EQ(WAIT_OBJECT_0, RunOnOtherThread(WaitBrieflyFromOtherThread));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(gMutex)) << "released more often than taken";
    EXPECT_EQ(DWORD(ERROR_NOT_OWNER), GetLastError());
    CloseHandle(gMutex);
}

// Only the owner may release: another thread gets ERROR_NOT_OWNER and the owner keeps it.
TEST(SyncMutex, OnlyTheOwnerReleases) {
    gMutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, gMutex);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gMutex, 0));
    EXPECT_EQ(DWORD(ERROR_NOT_OWNER), RunOnOtherThread(ReleaseFromOtherThread));
    EXPECT_EQ(WAIT_TIMEOUT, RunOnOtherThread(WaitBrieflyFromOtherThread));
    EXPECT_TRUE(ReleaseMutex(gMutex));
    CloseHandle(gMutex);
}

// A thread that ends while owning the mutex abandons it: the next waiter gets WAIT_ABANDONED
// and owns it.
TEST(SyncMutex, ThreadEndingWhileOwnerAbandonsIt) {
    gMutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, gMutex);
    EXPECT_EQ(WAIT_OBJECT_0, RunOnOtherThread(TakeAndEnd));
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(gMutex, 5000));
    EXPECT_EQ(WAIT_TIMEOUT, RunOnOtherThread(WaitBrieflyFromOtherThread)) << "the waiter owns it now";
    EXPECT_TRUE(ReleaseMutex(gMutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gMutex, 0)) << "consistent again, not abandoned twice";
    EXPECT_TRUE(ReleaseMutex(gMutex));
    CloseHandle(gMutex);
}

// CreateMutexA of a new name clears the last error; of an existing one reports
// ERROR_ALREADY_EXISTS and names the same mutex.
TEST(SyncMutex, CreatingAnExistingNameOpensIt) {
    std::string name = UniqueName("exists");
    SetLastError(0xdeadbeef);
    HANDLE first = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
    SetLastError(0xdeadbeef);
    HANDLE second = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_NE(first, second);
    EXPECT_TRUE(ReleaseMutex(second)) << "same mutex, owned through the first handle";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(second)) << "the second create did not take ownership";
    EXPECT_EQ(DWORD(ERROR_NOT_OWNER), GetLastError());
    CloseHandle(first);
    CloseHandle(second);
}

// OpenMutexA of a name nobody created fails with ERROR_FILE_NOT_FOUND; once the last handle
// is closed the name is gone again.
TEST(SyncMutex, OpeningAMissingNameFails) {
    std::string name = UniqueName("missing");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());

    HANDLE created = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, created);
    HANDLE opened = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(nullptr, opened);
    CloseHandle(opened);
    CloseHandle(created);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

// A named mutex is one lock for every process: held here, another process cannot take it;
// released, it can.
TEST(SyncMutex, NamedMutexIsSharedWithAnotherProcess) {
    std::string name = UniqueName("shared");
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(10u, kvtest::RunChild("mutex_probe", name)) << "held by this process";
    ASSERT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(11u, kvtest::RunChild("mutex_probe", name)) << "free";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)) << "the child released it";
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// A wait times out while another process holds the mutex, and succeeds once it lets go.
TEST(SyncMutex, WaitTimesOutWhileAnotherProcessHoldsIt) {
    kvtest::ScopedTempDir folder;
    std::string name = UniqueName("held");
    std::string flag = folder.file("holding");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    HANDLE child = kvtest::StartChild("mutex_hold", name + " \"" + flag + "\" 700");
    ASSERT_NE(nullptr, child);
    for (int i = 0; i < 3000 && !kvtest::FileExists(flag); ++i) Sleep(10);
    ASSERT_TRUE(kvtest::FileExists(flag));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 100));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 30000));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 30000));
    DWORD code = 99;
    GetExitCodeProcess(child, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(child);
    CloseHandle(mutex);
}

// A process that dies owning a named mutex abandons it: the next waiter gets WAIT_ABANDONED.
TEST(SyncMutex, ProcessDyingWhileOwnerAbandonsIt) {
    std::string name = UniqueName("abandoned");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    ASSERT_EQ(0u, kvtest::RunChild("mutex_take_and_die", name));
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 5000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)) << "owned now, recursively";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(11u, kvtest::RunChild("mutex_probe", name)) << "free for others again";
    CloseHandle(mutex);
}

// A mutex whose only holder was killed dies with it: the name is free, and whoever creates it
// next gets a new, unowned mutex -- not an abandoned one.
TEST(SyncMutex, DiesWithItsLastHolderEvenWhenKilled) {
    kvtest::ScopedTempDir folder;
    std::string name = UniqueName("sole");
    std::string flag = folder.file("owned");
    HANDLE child = kvtest::StartChild("mutex_sole_owner", name + " \"" + flag + "\"");
    ASSERT_NE(nullptr, child);
    for (int i = 0; i < 3000 && !kvtest::FileExists(flag); ++i) Sleep(10);
    ASSERT_TRUE(kvtest::FileExists(flag));
    ASSERT_TRUE(TerminateProcess(child, 1));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 30000));
    CloseHandle(child);

    SetLastError(0xdeadbeef);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError()) << "created anew";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 1000));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
