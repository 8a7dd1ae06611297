// FilesTests.cpp -- files: dispositions, reading and writing, positions, sizes, byte-range locks.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace {

HANDLE Open(const std::string& path, DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Write(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string ReadAll(HANDLE file) {
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    std::string result;
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) result.append(buffer, got);
    return result;
}

}  // namespace

// Child: opens the file argv[0] and tries to lock argv[1] bytes from offset 0. 0: locked,
// 33: ERROR_LOCK_VIOLATION, other: the open failed.
KV_TEST_CHILD(files_try_lock) {
    if (argc < 2) return 1;
    HANDLE file = CreateFileA(argv[0], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    int code = LockFile(file, 0, 0, static_cast<DWORD>(atoi(argv[1])), 0) ? 0 : static_cast<int>(GetLastError());
    CloseHandle(file);
    return code;
}

// CREATE_NEW refuses an existing file with ERROR_FILE_EXISTS.
TEST(FilesCreate, CreateNewRefusesAnExistingFile) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("new.txt");
    HANDLE file = Open(path, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, CREATE_NEW));
    EXPECT_EQ(DWORD(ERROR_FILE_EXISTS), GetLastError());
}

// OPEN_ALWAYS and CREATE_ALWAYS succeed either way and say through the last error whether
// the file was there; CREATE_ALWAYS empties it, OPEN_ALWAYS keeps it.
TEST(FilesCreate, AlwaysDispositionsReportAnExistingFile) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("always.txt");
    SetLastError(0xdeadbeef);
    HANDLE file = Open(path, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
    EXPECT_TRUE(Write(file, "kept"));
    CloseHandle(file);

    SetLastError(0xdeadbeef);
    file = Open(path, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("kept", ReadAll(file));
    CloseHandle(file);

    SetLastError(0xdeadbeef);
    file = Open(path, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(0u, GetFileSize(file, nullptr)) << "truncated";
    CloseHandle(file);

    std::string other = folder.file("fresh.txt");
    SetLastError(0xdeadbeef);
    file = Open(other, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
    CloseHandle(file);
}

// OPEN_EXISTING and TRUNCATE_EXISTING need the file; a missing folder is ERROR_PATH_NOT_FOUND.
TEST(FilesCreate, ExistingDispositionsNeedTheFile) {
    kvtest::ScopedTempDir folder;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(folder.file("absent.txt"), OPEN_EXISTING));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(folder.file("absent.txt"), TRUNCATE_EXISTING));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
#ifdef _WIN32
    std::string deep = folder.file("no-folder\\absent.txt");
#else
    std::string deep = folder.file("no-folder/absent.txt");
#endif
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(deep, CREATE_ALWAYS));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());

    std::string path = folder.file("full.txt");
    HANDLE file = Open(path, CREATE_NEW);
    ASSERT_TRUE(Write(file, "content"));
    CloseHandle(file);
    file = Open(path, TRUNCATE_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0u, GetFileSize(file, nullptr));
    CloseHandle(file);
}

// What is written is read back; reading at the end succeeds with 0 bytes.
TEST(FilesReadWrite, RoundTripAndEndOfFile) {
    kvtest::ScopedTempDir folder;
    HANDLE file = Open(folder.file("data.bin"), CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(Write(file, data));
    EXPECT_EQ(data, ReadAll(file));
    char byte = 0;
    DWORD got = 77;
    EXPECT_TRUE(ReadFile(file, &byte, 1, &got, nullptr));
    EXPECT_EQ(0u, got) << "at the end";
    CloseHandle(file);
}

// A handle opened for reading only cannot write, and the reverse.
TEST(FilesReadWrite, AccessIsEnforcedPerHandle) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("access.txt");
    HANDLE file = Open(path, CREATE_NEW);
    ASSERT_TRUE(Write(file, "abc"));
    CloseHandle(file);

    HANDLE reader = Open(path, OPEN_EXISTING, GENERIC_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    DWORD written = 5;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0u, written);
    CloseHandle(reader);

    HANDLE writer = Open(path, OPEN_EXISTING, GENERIC_WRITE);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    char buffer[4];
    DWORD got = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFile(writer, buffer, sizeof(buffer), &got, nullptr));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(writer);
}

// SetFilePointer moves from the start, the current position and the end, reports the new
// position, and refuses to go before the start.
TEST(FilesPosition, SetFilePointerMovesAndReports) {
    kvtest::ScopedTempDir folder;
    HANDLE file = Open(folder.file("seek.txt"), CREATE_NEW);
    ASSERT_TRUE(Write(file, "0123456789"));
    EXPECT_EQ(3u, SetFilePointer(file, 3, nullptr, FILE_BEGIN));
    EXPECT_EQ(5u, SetFilePointer(file, 2, nullptr, FILE_CURRENT));
    EXPECT_EQ(7u, SetFilePointer(file, -3, nullptr, FILE_END));
    char c = 0;
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file, &c, 1, &got, nullptr));
    EXPECT_EQ('7', c);

    LONG high = 0;
    EXPECT_EQ(4u, SetFilePointer(file, 4, &high, FILE_BEGIN));
    EXPECT_EQ(0, high);
    high = -1;  // with the high part, -1:-6 is the 64-bit distance -6
    EXPECT_EQ(4u, SetFilePointer(file, -6, &high, FILE_END));
    EXPECT_EQ(0, high);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(file, -20, nullptr, FILE_CURRENT));
    EXPECT_EQ(DWORD(ERROR_NEGATIVE_SEEK), GetLastError());
    EXPECT_EQ(4u, SetFilePointer(file, 0, nullptr, FILE_CURRENT)) << "a failed move does not move";
    CloseHandle(file);
}

// SetEndOfFile cuts the file at the position, or extends it with zero bytes.
TEST(FilesPosition, SetEndOfFileTruncatesAndExtends) {
    kvtest::ScopedTempDir folder;
    HANDLE file = Open(folder.file("end.txt"), CREATE_NEW);
    ASSERT_TRUE(Write(file, "0123456789"));
    SetFilePointer(file, 4, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(file));
    DWORD high = 99;
    EXPECT_EQ(4u, GetFileSize(file, &high));
    EXPECT_EQ(0u, high);
    EXPECT_EQ("0123", ReadAll(file));

    SetFilePointer(file, 8, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(8u, GetFileSize(file, nullptr));
    EXPECT_EQ(std::string("0123\0\0\0\0", 8), ReadAll(file));
    CloseHandle(file);
}

// A range locked through one handle cannot be locked through another, in this process or
// another, until it is unlocked or the handle closed; ranges beside it can.
TEST(FilesLock, RangeLockedThroughOneHandleExcludesOthers) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("locked.txt");
    HANDLE first = Open(path, CREATE_NEW);
    HANDLE second = Open(path, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    ASSERT_NE(INVALID_HANDLE_VALUE, second);

    ASSERT_TRUE(LockFile(first, 0, 0, 10, 0));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LockFile(second, 5, 0, 10, 0)) << "overlaps";
    EXPECT_EQ(DWORD(ERROR_LOCK_VIOLATION), GetLastError());
    EXPECT_TRUE(LockFile(second, 10, 0, 10, 0)) << "beside it";
    EXPECT_EQ(33u, kvtest::RunChild("files_try_lock", "\"" + path + "\" 5")) << "another process";

    EXPECT_TRUE(UnlockFile(first, 0, 0, 10, 0));
    EXPECT_TRUE(LockFile(second, 0, 0, 5, 0)) << "free after the unlock";
    EXPECT_TRUE(UnlockFile(second, 0, 0, 5, 0));
    EXPECT_TRUE(UnlockFile(second, 10, 0, 10, 0));
    EXPECT_EQ(0u, kvtest::RunChild("files_try_lock", "\"" + path + "\" 20"));
    CloseHandle(first);
    CloseHandle(second);
}

// Locks do not stack even through one handle, an unlock must match a locked range exactly,
// and closing the handle drops its locks.
TEST(FilesLock, SameHandleRulesAndCloseUnlocks) {
    kvtest::ScopedTempDir folder;
    std::string path = folder.file("same.txt");
    HANDLE file = Open(path, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ASSERT_TRUE(LockFile(file, 100, 0, 50, 0));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LockFile(file, 120, 0, 10, 0));
    EXPECT_EQ(DWORD(ERROR_LOCK_VIOLATION), GetLastError());
    EXPECT_FALSE(UnlockFile(file, 100, 0, 20, 0)) << "not the range that was locked";

    HANDLE other = Open(path, OPEN_EXISTING);
    EXPECT_FALSE(LockFile(other, 100, 0, 1, 0));
    CloseHandle(file);
    EXPECT_TRUE(LockFile(other, 100, 0, 1, 0)) << "the close released the lock";
    CloseHandle(other);
}

// Deleting, creating and removing folders, and moving files, with Win32's errors.
TEST(FilesNames, DeleteCreateRemoveAndMove) {
    kvtest::ScopedTempDir folder;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA(folder.file("absent").c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());

    std::string sub = folder.file("sub");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
#ifdef _WIN32
    std::string inner = sub + "\\inner.txt";
#else
    std::string inner = sub + "/inner.txt";
#endif
    HANDLE file = Open(inner, CREATE_NEW);
    CloseHandle(file);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
    EXPECT_EQ(DWORD(ERROR_DIR_NOT_EMPTY), GetLastError());

    std::string a = folder.file("a.txt");
    std::string b = folder.file("b.txt");
    file = Open(a, CREATE_NEW);
    Write(file, "from a");
    CloseHandle(file);
    file = Open(b, CREATE_NEW);
    Write(file, "from b");
    CloseHandle(file);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), 0));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("from b", kvtest::ReadWholeFile(b));
    EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("from a", kvtest::ReadWholeFile(b));
    EXPECT_FALSE(kvtest::FileExists(a));

    EXPECT_TRUE(DeleteFileA(inner.c_str()));
    EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

// What a spool relies on: a file opened with FILE_SHARE_DELETE can be renamed while it is open
// and written on, and a folder opened for writing with backup semantics can be flushed (which
// makes the new name durable); without backup semantics a folder does not open.
TEST(FilesNames, OpenFileRenamedAndFolderFlushed) {
    kvtest::ScopedTempDir folder;
    std::string from = folder.file("from.tmp");
    std::string to = folder.file("to.xml");
    HANDLE file = CreateFileA(from.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(Write(file, "before"));
    EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), 0));
    EXPECT_TRUE(Write(file, " after"));
    EXPECT_TRUE(FlushFileBuffers(file));
    CloseHandle(file);
    EXPECT_EQ("before after", kvtest::ReadWholeFile(to));

    HANDLE self = CreateFileA(folder.path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, self);
    EXPECT_TRUE(FlushFileBuffers(self));
    CloseHandle(self);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(folder.path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
}

// GetTempPathA ends with a separator and follows Win32's size rules.
TEST(FilesNames, TempPathEndsWithSeparator) {
    char path[MAX_PATH] = {};
    DWORD length = GetTempPathA(sizeof(path), path);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof(path));
    EXPECT_EQ(length, std::string(path).size());
    char last = path[length - 1];
    EXPECT_TRUE(last == '\\' || last == '/') << path;

    EXPECT_EQ(length + 1, GetTempPathA(0, nullptr)) << "the size needed, terminator included";
    char small[MAX_PATH];
    EXPECT_EQ(length + 1, GetTempPathA(length, small)) << "one short";
    EXPECT_EQ(length, GetTempPathA(length + 1, small)) << "exactly enough";
    EXPECT_STREQ(path, small);
}

// FindFirstFileA/FindNextFileA list what matches '*' and '?' in the last component; a plain
// name finds that file.
TEST(FilesFind, WildcardsMatchTheLastComponent) {
    kvtest::ScopedTempDir folder;
    for (const char* name : {"a.txt", "bb.txt", "c.log"}) {
        HANDLE file = Open(folder.file(name), CREATE_NEW);
        Write(file, name);
        CloseHandle(file);
    }
    auto find = [&](const std::string& pattern) {
        std::string found;
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA(folder.file(pattern).c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) return std::string("none");
        do {
            std::string name = data.cFileName;
            if (name != "." && name != "..") found += "[" + name + ":" + std::to_string(data.nFileSizeLow) + "]";
        } while (FindNextFileA(search, &data));
        EXPECT_EQ(DWORD(ERROR_NO_MORE_FILES), GetLastError());
        EXPECT_TRUE(FindClose(search));
        return found;
    };
    auto sorted = [](std::string s) {  // directory order is not defined
        std::sort(s.begin(), s.end());
        return s;
    };
    EXPECT_EQ(sorted("[a.txt:5][bb.txt:6]"), sorted(find("*.txt")));
    EXPECT_EQ("[a.txt:5]", find("?.txt"));
    EXPECT_EQ("[c.log:5]", find("c.log")) << "a plain name";
    EXPECT_EQ(sorted("[a.txt:5][bb.txt:6][c.log:5]"), sorted(find("*")));

    WIN32_FIND_DATAA data;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA(folder.file("*.none").c_str(), &data));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

// Security descriptors: revision 1 initializes, a null DACL is accepted, and a file created
// with it is usable.
TEST(FilesSecurity, NullDaclDescriptorIsAccepted) {
    SECURITY_DESCRIPTOR descriptor;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, 2));
    EXPECT_EQ(DWORD(ERROR_UNKNOWN_REVISION), GetLastError());
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, TRUE};

    kvtest::ScopedTempDir folder;
    HANDLE file = CreateFileA(folder.file("open.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(Write(file, "shared"));
    CloseHandle(file);
    HANDLE mutex = CreateMutexA(&attributes, FALSE, nullptr);
    EXPECT_NE(nullptr, mutex);
    CloseHandle(mutex);
}
