// RegistryStoreTests.cpp -- the store file: where it is, caching, atomic replacement, locking.
#include "RegistryTestStore.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using kvtest::ReadWholeFile;

class RegistryStore : public kvtest::RegistryStoreTest {};

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }

std::string StorePath() {
    char path[4096];
    DWORD length = KvRegGetStorePath(path, sizeof(path));
    return length < sizeof(path) ? std::string(path, length) : std::string();
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : mName(name) {
        const char* old = getenv(name);
        mHadValue = old != nullptr;
        if (old) mOld = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (mHadValue) setenv(mName.c_str(), mOld.c_str(), 1);
        else unsetenv(mName.c_str());
    }

private:
    std::string mName, mOld;
    bool mHadValue = false;
};

// A missing file is an empty registry, and reading or failing to delete does not create it.
TEST_F(RegistryStore, MissingFileIsAnEmptyRegistry) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key));
    char name[64];
    DWORD length = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(HKEY_LOCAL_MACHINE, "nothing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"));
    EXPECT_NE(0, access(mStore.c_str(), F_OK));
}

// The first change creates the missing folders and the file.
TEST_F(RegistryStore, FirstWriteCreatesFoldersAndFile) {
    std::string nested = mDir.file("a/b/registry.reg");
    KvRegSetStorePath(nested.c_str());
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVNew", "v", "x"));
    EXPECT_NE(std::string::npos, ReadWholeFile(nested).find("\"v\"=\"x\""));
    std::filesystem::remove_all(mDir.file("a"));
}

// Every change writes a new file and renames it over the store: a reader of the old file still
// sees it whole, and no temporary file is left behind.
TEST_F(RegistryStore, WritesReplaceTheFileAtomically) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVAtomic", "v", "first"));
    std::string before = ReadWholeFile(mStore);
    int old = open(mStore.c_str(), O_RDONLY);
    ASSERT_GE(old, 0);
    struct stat oldStat, newStat;
    ASSERT_EQ(0, fstat(old, &oldStat));
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVAtomic", "v", "second"));
    ASSERT_EQ(0, stat(mStore.c_str(), &newStat));
    EXPECT_NE(oldStat.st_ino, newStat.st_ino);
    std::string oldText(static_cast<size_t>(oldStat.st_size), '\0');
    ASSERT_EQ(static_cast<ssize_t>(oldText.size()), pread(old, &oldText[0], oldText.size(), 0));
    close(old);
    EXPECT_EQ(before, oldText);
    EXPECT_NE(std::string::npos, ReadWholeFile(mStore).find("\"v\"=\"second\""));
    EXPECT_EQ((std::set<std::string>{"registry.reg", "registry.reg.lock"}), FolderEntries(mDir.path()));
}

// A reader sees changes made behind its back: a file renamed over the store, and a file rewritten
// in place.
TEST_F(RegistryStore, ReadersSeeChangesFromOtherWriters) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVOther", "v", "abc"));
    ASSERT_EQ(Bytes("abc\0", 4), GetValue("SOFTWARE\\KVOther", "v"));
    ReplaceText(mStore, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVOther]\n\"v\"=\"renamed\"\n");
    EXPECT_EQ(Bytes("renamed\0", 8), GetValue("SOFTWARE\\KVOther", "v"));
    struct stat st;
    ASSERT_EQ(0, stat(mStore.c_str(), &st));
    WriteText(mStore, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVOther]\n\"v\"=\"inplace\"\n");
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;  // a different time, however coarse the clock
    ASSERT_EQ(0, utimensat(AT_FDCWD, mStore.c_str(), times, 0));
    EXPECT_EQ(Bytes("inplace\0", 8), GetValue("SOFTWARE\\KVOther", "v"));
}

// A store path that is a link to a file in another folder: edits of that file, in place or by
// a rename over it, are seen at once, however often the store was read before.
TEST_F(RegistryStore, ReadersSeeChangesBehindALink) {
    std::string elsewhere = mDir.file("elsewhere");
    ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0755));
    std::string target = elsewhere + "/real.reg", link = mDir.file("link.reg");
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVLink]\n";
    WriteText(target, header + "\"v\"=\"one\"\n");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    KvRegSetStorePath(link.c_str());
    for (int i = 0; i < 100; ++i) ASSERT_EQ(Bytes("one\0", 4), GetValue("SOFTWARE\\KVLink", "v"));
    WriteText(target, header + "\"v\"=\"two, longer\"\n");
    EXPECT_EQ(Bytes("two, longer\0", 12), GetValue("SOFTWARE\\KVLink", "v"));
    ReplaceText(target, header + "\"v\"=\"three\"\n");
    EXPECT_EQ(Bytes("three\0", 6), GetValue("SOFTWARE\\KVLink", "v"));
    KvRegSetStorePath(mStore.c_str());
    std::filesystem::remove_all(elsewhere);
    unlink(link.c_str());
}

// A file whose device, inode, size and time are unchanged is not parsed again; one nanosecond
// of difference is enough to parse it.
TEST_F(RegistryStore, UnchangedFileIsNotParsedAgain) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVCache", "v", "abc"));
    ASSERT_EQ(Bytes("abc\0", 4), GetValue("SOFTWARE\\KVCache", "v"));
    struct stat st;
    ASSERT_EQ(0, stat(mStore.c_str(), &st));
    std::string text = ReadWholeFile(mStore);
    size_t at = text.find("\"abc\"");
    ASSERT_NE(std::string::npos, at);
    text.replace(at, 5, "\"xyz\"");
    WriteText(mStore, text);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, mStore.c_str(), times, 0));
    EXPECT_EQ(Bytes("abc\0", 4), GetValue("SOFTWARE\\KVCache", "v"));
    times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
    ASSERT_EQ(0, utimensat(AT_FDCWD, mStore.c_str(), times, 0));
    EXPECT_EQ(Bytes("xyz\0", 4), GetValue("SOFTWARE\\KVCache", "v"));
}

// KvRegSetStorePath wins; without it KVLUMEN_REGISTRY is read again on every call.
TEST_F(RegistryStore, PathFollowsOverrideThenEnvironmentOnEveryCall) {
    std::string first = mDir.file("first.reg"), second = mDir.file("second.reg");
    ScopedEnv env("KVLUMEN_REGISTRY", first.c_str());
    EXPECT_EQ(mStore, StorePath());
    KvRegSetStorePath(nullptr);
    EXPECT_EQ(first, StorePath());
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVEnv", "v", "in first"));
    setenv("KVLUMEN_REGISTRY", second.c_str(), 1);
    EXPECT_EQ(second, StorePath());
    LSTATUS rc = ERROR_SUCCESS;
    GetValue("SOFTWARE\\KVEnv", "v", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    setenv("KVLUMEN_REGISTRY", first.c_str(), 1);
    EXPECT_EQ(Bytes("in first\0", 9), GetValue("SOFTWARE\\KVEnv", "v"));
}

// Without either, the store is the machine's, whoever runs the program (nothing is written
// here: the test may run as root).
TEST_F(RegistryStore, DefaultPathIsTheMachineStore) {
    KvRegSetStorePath(nullptr);
    ScopedEnv noStore("KVLUMEN_REGISTRY", nullptr);
    ScopedEnv home("HOME", mDir.file("home").c_str());
    ScopedEnv xdg("XDG_CONFIG_HOME", mDir.file("xdg").c_str());
    EXPECT_EQ("/etc/kvlumen/registry.reg", StorePath());
    setenv("KVLUMEN_REGISTRY", "", 1);
    EXPECT_EQ("/etc/kvlumen/registry.reg", StorePath());
}

}  // namespace

// Sets `count` values named "<prefix>-<i>" in the store at argv[0]: one writer among several.
// A ProgID asked for again and again (a handler does it at every event) is answered from what
// the thread found last only while nothing changed: a change by this process, by another writer,
// a removal and another store are each seen at the next call.
TEST_F(RegistryStore, ProgIdLookupsSeeEveryChangeAtOnce) {
    auto classOf = [](CLSID* clsid) { return CLSIDFromProgID(L"KV.Cached", clsid); };
    auto named = [](const char* text) {
        CLSID clsid = {};
        std::wstring wide(text, text + strlen(text));
        EXPECT_EQ(S_OK, CLSIDFromString(wide.c_str(), &clsid));
        return clsid;
    };
    const char* kFirst = "{11111111-2222-3333-4444-555555555555}";
    const char* kSecond = "{22222222-2222-3333-4444-555555555555}";
    const char* kThird = "{33333333-2222-3333-4444-555555555555}";
    CLSID found = {};
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\Classes\\KV.Cached\\CLSID", nullptr, kFirst));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(S_OK, classOf(&found));
        EXPECT_TRUE(IsEqualCLSID(named(kFirst), found));
    }
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\Classes\\KV.Cached\\CLSID", nullptr, kSecond));
    ASSERT_EQ(S_OK, classOf(&found));
    EXPECT_TRUE(IsEqualCLSID(named(kSecond), found)) << "a change by this process";
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\KV.Cached\\CLSID]\n";
    ReplaceText(mStore, header + "@=\"" + kThird + "\"\n");
    ASSERT_EQ(S_OK, classOf(&found));
    EXPECT_TRUE(IsEqualCLSID(named(kThird), found)) << "a change by another writer";
    ReplaceText(mStore, "Windows Registry Editor Version 5.00\n\n");
    EXPECT_EQ(CO_E_CLASSSTRING, classOf(&found)) << "a removed ProgID";
    std::string other = mDir.file("other.reg");
    WriteText(other, header + "@=\"" + kFirst + "\"\n");
    KvRegSetStorePath(other.c_str());
    EXPECT_EQ(S_OK, classOf(&found));
    EXPECT_TRUE(IsEqualCLSID(named(kFirst), found)) << "another store";
    KvRegSetStorePath(mStore.c_str());
    EXPECT_EQ(CO_E_CLASSSTRING, classOf(&found)) << "back to the first store";
}

KV_TEST_CHILD(RegistryWriter) {
    if (argc < 3) return 2;
    KvRegSetStorePath(argv[0]);
    int count = atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        std::string name = std::string(argv[1]) + "-" + std::to_string(i);
        if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVConcurrent", name.c_str(), REG_SZ, "x", 2) != ERROR_SUCCESS)
            return 1;
    }
    return 0;
}

// Holds the store's lock (argv[0] is the store) and dies holding it, after writing argv[1].
KV_TEST_CHILD(RegistryLockHolder) {
    if (argc < 2) return 2;
    int fd = open((std::string(argv[0]) + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_OFD_SETLKW, &range) != 0) return 1;
    FILE* marker = fopen(argv[1], "w");
    if (!marker) return 1;
    fclose(marker);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    _exit(0);  // no unlock: the kernel must release it
}

// Tries a change while files may not grow (argv[0] is the store): the write must fail cleanly.
KV_TEST_CHILD(RegistryFullDisk) {
    if (argc < 1) return 2;
    KvRegSetStorePath(argv[0]);
    std::string folder = std::string(argv[0]).substr(0, std::string(argv[0]).rfind('/'));
    std::string before = ReadWholeFile(argv[0]);
    size_t entries = kvtest::RegistryStoreTest::FolderEntries(folder).size();
    size_t descriptors = kvtest::RegistryStoreTest::OpenDescriptors();
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {16, 16};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    std::string big(4096, 'x');
    LSTATUS rc = RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVFull", "v", REG_SZ, big.c_str(), 4097);
    if (rc != ERROR_CANTWRITE) return 4;
    if (kvtest::RegistryStoreTest::FolderEntries(folder).size() != entries) return 5;  // temporary file left
    if (kvtest::RegistryStoreTest::OpenDescriptors() != descriptors) return 6;
    if (ReadWholeFile(argv[0]) != before) return 7;
    return 0;
}

namespace {

// Processes writing at the same time lose no update: every value of every writer is there.
TEST_F(RegistryStore, ConcurrentProcessesLoseNoUpdate) {
    const int kWriters = 3, kValues = 30;
    std::vector<HANDLE> children;
    for (int i = 0; i < kWriters; ++i) {
        HANDLE child = kvtest::StartChild("RegistryWriter", "\"" + mStore + "\" w" + std::to_string(i) + " " +
                                                                std::to_string(kValues));
        ASSERT_NE(nullptr, child);
        children.push_back(child);
    }
    for (HANDLE child : children) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 60000));
        DWORD code = 99;
        GetExitCodeProcess(child, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(child);
    }
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kValues; ++i) {
            std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
            EXPECT_EQ(Bytes("x\0", 2), GetValue("SOFTWARE\\KVConcurrent", name.c_str())) << name;
        }
}

// Threads of one process writing and reading at the same time lose no update either.
TEST_F(RegistryStore, ConcurrentThreadsLoseNoUpdate) {
    const int kThreads = 4, kValues = 25;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &failures]() {
            for (int i = 0; i < kValues; ++i) {
                std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                if (SetString("SOFTWARE\\KVThreads", name.c_str(), "y") != ERROR_SUCCESS) ++failures[t];
                if (GetValue("SOFTWARE\\KVThreads", name.c_str()) != Bytes("y\0", 2)) ++failures[t];
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
    DWORD values = 0;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVThreads", 0, KEY_READ, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                              nullptr, nullptr, nullptr));
    RegCloseKey(key);
    EXPECT_EQ(static_cast<DWORD>(kThreads * kValues), values);
}

// A writer waits while another process holds the lock, and goes on when that process dies with it.
TEST_F(RegistryStore, WriterWaitsForTheLockADeadHolderReleases) {
    std::string marker = mDir.file("locked");
    HANDLE holder = kvtest::StartChild("RegistryLockHolder", "\"" + mStore + "\" \"" + marker + "\"");
    ASSERT_NE(nullptr, holder);
    for (int i = 0; i < 1000 && access(marker.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(0, access(marker.c_str(), F_OK));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVLock", "v", "after"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder, 60000));
    CloseHandle(holder);
    EXPECT_EQ(Bytes("after\0", 6), GetValue("SOFTWARE\\KVLock", "v"));
    unlink(marker.c_str());
}

// A write that cannot happen reports it and leaves neither a temporary file nor a descriptor.
TEST_F(RegistryStore, FailedWritesCleanUp) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVFail", "v", "kept"));
    std::string notAFolder = mDir.file("plain");
    WriteText(notAFolder, "x");
    KvRegSetStorePath((notAFolder + "/registry.reg").c_str());
    LSTATUS rc = ERROR_SUCCESS;
    GetValue("SOFTWARE\\KVFail", "v", nullptr, &rc);  // an empty registry: nothing held open
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    size_t descriptors = OpenDescriptors();
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, SetString("SOFTWARE\\KVFail", "v", "lost"));
    EXPECT_EQ(descriptors, OpenDescriptors());
    KvRegSetStorePath(mStore.c_str());
    EXPECT_EQ(0u, kvtest::RunChild("RegistryFullDisk", "\"" + mStore + "\""));
    EXPECT_EQ(Bytes("kept\0", 5), GetValue("SOFTWARE\\KVFail", "v"));
    unlink(notAFolder.c_str());
}

// What the file cannot hold is refused before anything is written: volatile keys, line breaks in
// names.
TEST_F(RegistryStore, RefusesWhatTheFileCannotHold) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_NOT_SUPPORTED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVVolatile", 0, nullptr,
                                                   REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\two\nlines", 0, nullptr, 0,
                                                       KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueExA(HKEY_LOCAL_MACHINE, "two\nlines", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    EXPECT_NE(0, access(mStore.c_str(), F_OK));
}

// A handle names its key by path: deleted, it gives ERROR_KEY_DELETED; created again, it sees the
// new key.
TEST_F(RegistryStore, HandleFollowsItsPath) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVPath", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVPath"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2));
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVPath", "v", "again"));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(6u, size);
    RegCloseKey(key);
}

}  // namespace
