// PosixSharedAccessTests.cpp -- shared files and named mutexes belong to their maker and the
// component's group only; what other users leave or plant in /dev/shm never stalls or fails a
// later process. The cases that play another user run as root and become `nobody` in a child.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "PosixCoreTestSupport.h"
#include "TestSupport.h"

namespace {

const uid_t kNobody = 65534;
// A group that exists on every Debian system and that `nobody` is not a member of.
const char kTestGroup[] = "daemon";

std::string UniqueName(const std::string& what) {
    static LONG sequence = 0;
    return "kvtest-access-" + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(InterlockedIncrement(&sequence));
}

std::string SharedFileOf(const std::string& name) { return "/dev/shm/kvmutex.n." + name; }
std::string OwnFileOf(const std::string& name, uid_t uid) {
    return "/dev/shm/kvmutex.u" + std::to_string(uid) + ".n." + name;
}

gid_t GidOf(const char* group) {
    struct group* found = getgrnam(group);
    return found ? found->gr_gid : static_cast<gid_t>(-1);
}

bool StatOf(const std::string& path, struct stat& status) { return lstat(path.c_str(), &status) == 0; }

// The component's group for this test and the children it starts.
class ScopedGroup {
public:
    explicit ScopedGroup(const char* group) {
        const char* previous = getenv("KVLUMEN_GROUP");
        mHad = previous != nullptr;
        if (mHad) mPrevious = previous;
        setenv("KVLUMEN_GROUP", group, 1);
    }
    ~ScopedGroup() {
        if (mHad)
            setenv("KVLUMEN_GROUP", mPrevious.c_str(), 1);
        else
            unsetenv("KVLUMEN_GROUP");
    }

private:
    bool mHad = false;
    std::string mPrevious;
};

SECURITY_ATTRIBUTES* OpenToAll() {
    static SECURITY_DESCRIPTOR descriptor;
    static SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    return &attributes;
}

// A file as another user would plant it, kept open with a shared lock as a process of theirs
// holding it would: the descriptor, which the caller closes, or -1.
int PlantFile(const std::string& path, uid_t uid, gid_t gid, mode_t mode, size_t size) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return -1;
    std::string junk(size, 'J');
    struct flock range = {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    if (write(fd, junk.data(), junk.size()) != static_cast<ssize_t>(junk.size()) || fchown(fd, uid, gid) != 0 ||
        fchmod(fd, mode) != 0 || fcntl(fd, F_OFD_SETLK, &range) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// Child: becomes `nobody`, a member of the group argv[0] ("-": of none), then
//   take NAME FLAG  creates or opens the mutex NAME, takes it within a second, creates the file
//                   FLAG and holds the mutex for a minute: 12 when creating failed, 13 when the
//                   wait timed out;
//   probe NAME      10 when the mutex NAME is held by someone else, 11 when it is free.
KV_TEST_CHILD(access_as_nobody) {
    if (argc < 3) return 1;
    gid_t groups[1];
    int count = 0;
    if (strcmp(argv[0], "-") != 0) {
        groups[0] = GidOf(argv[0]);
        count = 1;
    }
    if (setgroups(count, groups) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 2;
    // A changed user makes the process undumpable, which would keep LeakSanitizer's look at
    // exit from attaching to it.
    prctl(PR_SET_DUMPABLE, 1);
    std::string action = argv[1];
    HANDLE mutex = CreateMutexA(OpenToAll(), FALSE, argv[2]);
    if (!mutex) return 12;
    DWORD waited = WaitForSingleObject(mutex, action == "take" ? 1000 : 0);
    if (action == "probe") return waited == WAIT_TIMEOUT ? 10 : 11;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return 13;
    if (argc >= 4) close(open(argv[3], O_WRONLY | O_CREAT, 0600));
    Sleep(60000);
    return 4;
}

// Child (as it is): takes the mutex argv[0] and holds it until killed.
KV_TEST_CHILD(access_hold) {
    if (argc < 1) return 1;
    HANDLE mutex = CreateMutexA(OpenToAll(), FALSE, argv[0]);
    if (!mutex || WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 2;
    Sleep(60000);
    return 4;
}

namespace {

// Waits until a probe from this process finds the mutex held by another.
bool HeldElsewhere(const std::string& name) {
    for (int i = 0; i < 500; ++i) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
        DWORD waited = mutex ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(mutex);
        if (mutex) CloseHandle(mutex);
        if (waited == WAIT_TIMEOUT) return true;
        Sleep(10);
    }
    return false;
}

void EndChild(HANDLE child) {
    TerminateProcess(child, 9);
    kvposixtest::ExitCodeOf(child);
    CloseHandle(child);
}

}  // namespace

// What Windows opens to everyone is the maker's and the component's group's here: files and
// folders with read and write for both (folders setgid), named mutexes likewise, whatever the
// umask; without that group, the owner's alone.
TEST(PosixSharedAccess, OpenToAllMeansOwnerAndGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a file to a group one is not a member of needs root";
    kvtest::ScopedTempDir folder;
    mode_t previous = umask(0);
    for (const char* group : {kTestGroup, "kvtest-no-such-group"}) {
        ScopedGroup scoped(group);
        const bool grouped = GidOf(group) != static_cast<gid_t>(-1);
        std::string file = folder.file(std::string("log-") + group);
        std::string sub = folder.file(std::string("sub-") + group);
        std::string name = UniqueName("mode");
        HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, OpenToAll(), CREATE_NEW, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        CloseHandle(handle);
        ASSERT_TRUE(CreateDirectoryA(sub.c_str(), OpenToAll()));
        HANDLE mutex = CreateMutexA(OpenToAll(), FALSE, name.c_str());
        ASSERT_NE(nullptr, mutex);
        struct stat status;
        ASSERT_TRUE(StatOf(file, status));
        EXPECT_EQ(grouped ? 0660u : 0600u, status.st_mode & 07777) << group;
        if (grouped) {
            EXPECT_EQ(GidOf(group), status.st_gid);
        }
        ASSERT_TRUE(StatOf(sub, status));
        EXPECT_EQ(grouped ? 02770u : 0700u, status.st_mode & 07777) << group;
        ASSERT_TRUE(StatOf(SharedFileOf(name), status));
        EXPECT_EQ(grouped ? 0660u : 0600u, status.st_mode & 07777) << group;
        if (grouped) {
            EXPECT_EQ(GidOf(group), status.st_gid);
        }
        CloseHandle(mutex);
        RemoveDirectoryA(sub.c_str());
    }
    umask(previous);
}

// A mutex whose holders are gone never blocks or fails a later process, whoever made it: the
// file root's killed process left (which the sticky /dev/shm keeps from other users) is built
// anew for a member of the group, and shared from then on; a user outside the group gets a
// mutex of its own at once.
TEST(PosixSharedAccess, LeftoversOfAnotherUserNeitherBlockNorFail) {
    if (geteuid() != 0) GTEST_SKIP() << "playing the user nobody needs root";
    ScopedGroup scoped(kTestGroup);
    std::string name = UniqueName("left");
    HANDLE holder = kvtest::StartChild("access_hold", name);
    ASSERT_NE(nullptr, holder);
    ASSERT_TRUE(HeldElsewhere(name));
    EndChild(holder);
    struct stat status;
    ASSERT_TRUE(StatOf(SharedFileOf(name), status)) << "a killed holder leaves its file";
    ASSERT_EQ(0u, status.st_uid);

    // The member says when it holds the mutex: a look from here before that would find root's
    // file dead and, being root, remove it.
    kvtest::ScopedTempDir folder;
    chmod(folder.path().c_str(), 0777);
    std::string flag = folder.file("taken");
    HANDLE member = kvtest::StartChild("access_as_nobody", std::string(kTestGroup) + " take " + name + " " + flag);
    ASSERT_NE(nullptr, member);
    for (int i = 0; i < 500 && !kvtest::FileExists(flag); ++i) Sleep(10);
    ASSERT_TRUE(kvtest::FileExists(flag)) << "the member took the mutex left in root's file";
    EXPECT_TRUE(HeldElsewhere(name)) << "root's process sees the mutex the member took";
    ASSERT_TRUE(StatOf(SharedFileOf(name), status));
    EXPECT_EQ(0u, status.st_uid) << "the file was reused, not replaced";
    EXPECT_EQ(STILL_ACTIVE, [&] {
        DWORD code = 0;
        GetExitCodeProcess(member, &code);
        return code;
    }()) << "the member got the mutex";
    EXPECT_EQ(10u, kvtest::RunChild("access_as_nobody", std::string(kTestGroup) + " probe " + name));
    EndChild(member);

    EXPECT_EQ(11u, kvtest::RunChild("access_as_nobody", "- probe " + name))
        << "outside the group: a mutex of its own, free, without waiting";
    unlink(SharedFileOf(name).c_str());
    unlink(OwnFileOf(name, kNobody).c_str());
}

// Files planted under a mutex's names by a user outside the group, and held by a process of
// theirs, are not waited on: the shared name falls back to this user's own file, shared by this
// user's processes; with that one planted too, to a mutex of the process's own. Neither stalls.
// A planted file nobody holds is removed like any dead one.
TEST(PosixSharedAccess, PlantedFilesNeitherStallNorFail) {
    if (geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
    ScopedGroup scoped(kTestGroup);
    std::string name = UniqueName("planted");
    int planted = PlantFile(SharedFileOf(name), kNobody, kNobody, 0666, 8);
    ASSERT_GE(planted, 0);
    HANDLE mutex = CreateMutexA(OpenToAll(), FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(kvtest::FileExists(OwnFileOf(name, geteuid())));
    HANDLE child = kvtest::StartChild("access_hold", name);
    ASSERT_NE(nullptr, child);
    Sleep(300);
    DWORD code = 0;
    GetExitCodeProcess(child, &code);
    EXPECT_EQ(STILL_ACTIVE, code) << "the child waits for this process: both use the fallback";
    ReleaseMutex(mutex);
    EXPECT_TRUE(HeldElsewhere(name));
    EndChild(child);
    CloseHandle(mutex);
    EXPECT_FALSE(kvtest::FileExists(OwnFileOf(name, geteuid()))) << "the fallback goes with its last holder";

    int plantedOwn = PlantFile(OwnFileOf(name, geteuid()), kNobody, kNobody, 0600, 200);
    ASSERT_GE(plantedOwn, 0);
    DWORD started = GetTickCount();
    mutex = CreateMutexA(OpenToAll(), FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    HANDLE again = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(nullptr, again) << "the process's own mutex is found by name";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(again, 0)) << "recursive for the owning thread";
    EXPECT_LT(GetTickCount() - started, 1000u);
    ReleaseMutex(again);
    ReleaseMutex(mutex);
    CloseHandle(again);
    CloseHandle(mutex);
    close(planted);
    close(plantedOwn);

    mutex = CreateMutexA(OpenToAll(), FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    struct stat status;
    ASSERT_TRUE(StatOf(SharedFileOf(name), status));
    EXPECT_EQ(0u, status.st_uid) << "the planted file nobody held was replaced by this process's own";
    CloseHandle(mutex);
    unlink(OwnFileOf(name, geteuid()).c_str());
}

// A file or folder made in a folder shared with its group (setgid) takes the folder's group
// access whatever the umask, as a Windows file inherits its folder's access list: what root made
// in the spool folder the service user may update, and a consumer in the group may read.
TEST(PosixSharedAccess, NewFilesFollowASharedFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to a group one is not a member of needs root";
    kvtest::ScopedTempDir folder;
    std::string shared = folder.file("shared");
    ASSERT_EQ(0, mkdir(shared.c_str(), 0700));
    ASSERT_EQ(0, chown(shared.c_str(), static_cast<uid_t>(-1), GidOf(kTestGroup)));
    ASSERT_EQ(0, chmod(shared.c_str(), 02750));
    mode_t previous = umask(077);
    std::string file = shared + "/event.xml";
    std::string sub = shared + "/sub";
    HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    BOOL made = CreateDirectoryA(sub.c_str(), nullptr);
    umask(previous);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    CloseHandle(handle);
    ASSERT_TRUE(made);
    struct stat status;
    ASSERT_TRUE(StatOf(file, status));
    EXPECT_EQ(0640u, status.st_mode & 07777) << "the folder's group may read, not write";
    EXPECT_EQ(GidOf(kTestGroup), status.st_gid);
    ASSERT_TRUE(StatOf(sub, status));
    EXPECT_EQ(02750u, status.st_mode & 07777);

    std::string plain = folder.file("plain.txt");
    previous = umask(077);
    handle = CreateFileA(plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    umask(previous);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    CloseHandle(handle);
    ASSERT_TRUE(StatOf(plain, status));
    EXPECT_EQ(0600u, status.st_mode & 07777) << "outside a shared folder the umask rules";
    unlink(file.c_str());
    rmdir(sub.c_str());
}
