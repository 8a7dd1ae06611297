// PosixFilesTests.cpp -- what only the POSIX layer's files do: no-follow opens, permissions,
// descriptor hygiene, and the lock rules Wine does not share.
#include <gtest/gtest.h>
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "PosixCoreTestSupport.h"
#include "TestSupport.h"

namespace {

HANDLE OpenWith(const std::string& path, DWORD disposition, DWORD flags, LPSECURITY_ATTRIBUTES attributes = nullptr) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, attributes,
                       disposition, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

void WriteText(const std::string& path, const std::string& text) {
    HANDLE file = OpenWith(path, CREATE_ALWAYS, 0);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

mode_t ModeOf(const std::string& path) {
    struct stat status = {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

}  // namespace

// FILE_FLAG_POSIX_NOFOLLOW refuses a symbolic link planted where the file should be, with
// ERROR_CANT_RESOLVE_FILENAME, and leaves the link's target alone; without it the link is
// followed.
TEST(PosixFiles, NoFollowRefusesAPlantedLink) {
    kvtest::ScopedTempDir folder;
    std::string target = folder.file("target.txt");
    std::string link = folder.file("planted.log");
    WriteText(target, "precious");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(link, OPEN_ALWAYS, FILE_FLAG_POSIX_NOFOLLOW));
    EXPECT_EQ(DWORD(ERROR_CANT_RESOLVE_FILENAME), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(link, CREATE_ALWAYS, FILE_FLAG_POSIX_NOFOLLOW));
    EXPECT_EQ(DWORD(ERROR_CANT_RESOLVE_FILENAME), GetLastError());
    EXPECT_EQ("precious", kvtest::ReadWholeFile(target)) << "CREATE_ALWAYS did not truncate through the link";

    // A dangling link must not make us create its target either.
    std::string dangling = folder.file("dangling.log");
    std::string nowhere = folder.file("nowhere.txt");
    ASSERT_EQ(0, symlink(nowhere.c_str(), dangling.c_str()));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(dangling, OPEN_ALWAYS, FILE_FLAG_POSIX_NOFOLLOW));
    EXPECT_FALSE(kvtest::FileExists(nowhere));

    HANDLE followed = OpenWith(link, OPEN_EXISTING, 0);
    EXPECT_NE(INVALID_HANDLE_VALUE, followed) << "without the flag, links are followed";
    CloseHandle(followed);
    HANDLE plain = OpenWith(target, OPEN_EXISTING, FILE_FLAG_POSIX_NOFOLLOW);
    EXPECT_NE(INVALID_HANDLE_VALUE, plain) << "a plain file opens with the flag";
    CloseHandle(plain);
    unlink(link.c_str());
    unlink(dangling.c_str());
}

// A null DACL creates a file its owner and the component's group may read and write, whatever
// the umask (PosixSharedAccessTests); without that group, its owner alone. Without a DACL the
// umask applies.
TEST(PosixFiles, NullDaclOpensToOwnerAndGroup) {
    kvtest::ScopedTempDir folder;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    setenv("KVLUMEN_GROUP", "kvtest-no-such-group", 1);
    mode_t previous = umask(077);
    HANDLE open = OpenWith(folder.file("open.txt"), CREATE_NEW, 0, &attributes);
    HANDLE closed = OpenWith(folder.file("private.txt"), CREATE_NEW, 0);
    std::string sub = folder.file("sub");
    BOOL made = CreateDirectoryA(sub.c_str(), &attributes);
    umask(previous);
    unsetenv("KVLUMEN_GROUP");
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    ASSERT_NE(INVALID_HANDLE_VALUE, closed);
    ASSERT_TRUE(made);
    EXPECT_EQ(0600u, ModeOf(folder.file("open.txt")));
    EXPECT_EQ(0600u, ModeOf(folder.file("private.txt")));
    EXPECT_EQ(0700u, ModeOf(sub));
    CloseHandle(open);
    CloseHandle(closed);
    RemoveDirectoryA(sub.c_str());
}

// UnlockFile of a range that was not locked is ERROR_NOT_LOCKED, as on Windows; ranges that
// cannot be expressed are ERROR_INVALID_PARAMETER; a zero-length lock conflicts with nothing.
TEST(PosixFiles, LockRangeRules) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("ranges.bin");
    HANDLE file = OpenWith(path, CREATE_NEW, 0);
    HANDLE other = OpenWith(path, OPEN_EXISTING, 0);
    ASSERT_TRUE(LockFile(file, 0, 0, 10, 0));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(UnlockFile(file, 0, 0, 5, 0));
    EXPECT_EQ(DWORD(ERROR_NOT_LOCKED), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LockFile(file, 0, 0x10, 0xFFFFFFFF, 0xFFFFFFFF)) << "wraps around";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(LockFile(file, 5, 0, 0, 0)) << "zero bytes";
    EXPECT_TRUE(LockFile(other, 20, 0, 0xFFFFFFEC, 0xFFFFFFFF)) << "up to the very end, 2^64";
    EXPECT_FALSE(LockFile(file, 0, 1, 1, 0)) << "inside the other handle's range";
    EXPECT_TRUE(UnlockFile(file, 5, 0, 0, 0));
    EXPECT_TRUE(UnlockFile(other, 20, 0, 0xFFFFFFEC, 0xFFFFFFFF));
    EXPECT_TRUE(LockFile(file, 0, 1, 1, 0));
    CloseHandle(file);
    CloseHandle(other);
}

// What the layer refuses says so: overlapped files, folders opened as files, an OVERLAPPED
// argument.
TEST(PosixFiles, UnsupportedRequestsAreRefused) {
    kvtest::ScopedTempDir folder;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(folder.file("o.txt"), CREATE_NEW, FILE_FLAG_OVERLAPPED));
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(folder.path(), OPEN_EXISTING, 0));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    HANDLE file = OpenWith(folder.file("x.txt"), CREATE_NEW, 0);
    OVERLAPPED overlapped = {};
    DWORD written = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, &overlapped));
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), GetLastError());
    CloseHandle(file);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA(folder.file("x.txt").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), GetLastError());
}

// KvFlushFilesTogether takes what FlushFileBuffers takes -- files and folders opened for writing,
// on one file system or on several -- and refuses what it refuses, naming the fault.
TEST(PosixFiles, FlushTogetherTakesWhatFlushFileBuffersTakes) {
    kvtest::ScopedTempDir folder;
    HANDLE a = OpenWith(folder.file("a.txt"), CREATE_NEW, 0);
    HANDLE b = OpenWith(folder.file("b.txt"), CREATE_NEW, 0);
    HANDLE self = CreateFileA(folder.path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, self);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(a, "data", 4, &written, nullptr));
    ASSERT_TRUE(WriteFile(b, "more", 4, &written, nullptr));
    const HANDLE oneFileSystem[] = {a, b, self};
    EXPECT_TRUE(KvFlushFilesTogether(oneFileSystem, 3));
    EXPECT_TRUE(KvFlushFilesTogether(oneFileSystem, 0));
    EXPECT_TRUE(KvFlushFilesTogether(oneFileSystem + 2, 1));

    // /dev/shm is a file system of its own on Linux.
    std::string other = "/dev/shm/kv-flush-together-" + std::to_string(getpid());
    HANDLE elsewhere = OpenWith(other, CREATE_ALWAYS, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, elsewhere);
    const HANDLE twoFileSystems[] = {a, elsewhere};
    EXPECT_TRUE(KvFlushFilesTogether(twoFileSystems, 2));
    CloseHandle(elsewhere);
    DeleteFileA(other.c_str());

    HANDLE readOnly = CreateFileA(folder.file("a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE withReadOnly[] = {a, readOnly};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(KvFlushFilesTogether(withReadOnly, 2));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(readOnly);
    const HANDLE withClosed[] = {a, readOnly};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(KvFlushFilesTogether(withClosed, 2));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(KvFlushFilesTogether(nullptr, 2));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    for (HANDLE handle : oneFileSystem) CloseHandle(handle);
}

// Handles of every kind give their descriptors back when closed, and failed calls leave none
// behind; so do child processes.
TEST(PosixFiles, HandlesLeaveNoDescriptorsBehind) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("count.txt");
    WriteText(path, "x");
    std::string link = folder.file("link.txt");
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
    const int before = kvposixtest::OpenDescriptorCount();
    ASSERT_GT(before, 0);

    for (int round = 0; round < 3; ++round) {
        HANDLE files[8];
        for (HANDLE& file : files) {
            file = OpenWith(path, OPEN_EXISTING, 0);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            ASSERT_TRUE(LockFile(file, static_cast<DWORD>(&file - files), 0, 1, 0));
        }
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA(folder.file("*").c_str(), &data);
        ASSERT_NE(INVALID_HANDLE_VALUE, search);
        std::string name = "kvtest-core-count-" + std::to_string(GetCurrentProcessId());
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
        ASSERT_NE(nullptr, mutex);
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_GT(kvposixtest::OpenDescriptorCount(), before);

        for (HANDLE file : files) CloseHandle(file);
        FindClose(search);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        CloseHandle(event);

        // Failures: nothing may stay open.
        EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(folder.file("absent"), OPEN_EXISTING, 0));
        EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(link, OPEN_EXISTING, FILE_FLAG_POSIX_NOFOLLOW));
        EXPECT_EQ(INVALID_HANDLE_VALUE, OpenWith(folder.path(), OPEN_EXISTING, 0));
        EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA(folder.file("*.none").c_str(), &data));
        EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
        EXPECT_EQ(nullptr, LoadLibraryA(path.c_str()));
        EXPECT_EQ(127u, kvtest::RunChild("core-no-such-child", "")) << "a process that came and went";
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        char missing[] = "/nonexistent/kv-program";
        EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
        EXPECT_EQ(before, kvposixtest::OpenDescriptorCount()) << "round " << round;
    }
    unlink(link.c_str());
}
