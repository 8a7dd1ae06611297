// mutex.cpp -- mutexes: recursive per thread, abandoned when their owner ends, shareable by name.
//
// Every mutex is a robust, recursive pthread mutex: when its owner thread or process ends
// without releasing it, the next locker gets EOWNERDEAD, which is Windows' WAIT_ABANDONED.
// An unnamed one lives on the heap. A named one lives in a small file in /dev/shm and is
// process-shared; each process maps it once, whatever number of handles it opens.
//
// Creation is race-free between processes: the creator builds the whole object under a
// temporary name and link()s it into place, which fails if another process got there first;
// an opener therefore never sees a half-built mutex. Every process holding the mutex keeps a
// shared OFD lock on its file; the last one to close it (or to exit) takes the lock exclusively
// and removes the name, so the mutex dies with its last holder, as on Windows. When the last
// users crash instead, the kernel drops their locks and the next opener, finding the file
// unlocked, removes it and starts afresh -- or, when the file is another user's and the sticky
// /dev/shm keeps it, builds the mutex anew inside it under the exclusive lock.
//
// /dev/shm is writable by every local user, so a name is only trusted when its file belongs to
// this user, root or the component's group and nobody else may write it (SharedAccess). Files
// that fail this, or that this user may not open, are not waited on: the process falls back to
// a file of its own user's, and failing that to a mutex of its own, and says once which file is
// in the way and what to do about it. Nobody outside the group can stall or silence a holder.
#include "KernelObject.h"
#include "SharedAccess.h"
#include "Win32Error.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <new>
#include <set>
#include <string>

using namespace kvposix;

namespace {

constexpr uint32_t kMagic = 0x584d564b;  // "KVMX"
constexpr size_t kMaxNameLength = 1024;
constexpr DWORD kRemovedMeanwhile = 0xFFFFFFFFu;
constexpr DWORD kLostTheRace = 0xFFFFFFFEu;
constexpr DWORD kUnusable = 0xFFFFFFFDu;
constexpr DWORD kBuiltInPlace = 0xFFFFFFFCu;
constexpr int kAttempts = 64;
const std::string kShmDirectory = "/dev/shm/";

// The shared part of a mutex. `owner` and `recursion` mirror the pthread mutex's own state for
// ReleaseMutex's ownership test; only the owning thread writes them.
struct MutexBlock {
    uint32_t magic = 0;
    uint32_t nameLength = 0;
    pthread_mutex_t mutex;
    std::atomic<pid_t> owner{0};
    std::atomic<uint32_t> recursion{0};
    char name[kMaxNameLength + 1] = {};
};

int InitializeLock(pthread_mutex_t* mutex, bool processShared) {
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc != 0) return rc;
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (processShared) pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    rc = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return rc;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's pthread_mutex_timedlock does not count an EOWNERDEAD result as a lock (its
// lock and trylock do), and would then report the release of an abandoned mutex as an unlock
// of an unlocked one. Under it, timed waits poll with trylock instead.
constexpr bool kPollTimedWaits = true;
#else
constexpr bool kPollTimedWaits = false;
#endif

// pthread_mutex_timedlock measures against the realtime clock, which may jump; short slices
// against a monotonic deadline bound what a jump can do to the wait.
int LockWithin(pthread_mutex_t* mutex, DWORD milliseconds) {
    if (milliseconds == 0) return pthread_mutex_trylock(mutex);
    if (milliseconds == INFINITE) return pthread_mutex_lock(mutex);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    if (kPollTimedWaits) {
        for (;;) {
            int rc = pthread_mutex_trylock(mutex);
            if (rc != EBUSY || Clock::now() >= deadline) return rc;
            const timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    for (;;) {
        Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return pthread_mutex_trylock(mutex);
        long long sliceNs = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        if (sliceNs > 200000000LL) sliceNs = 200000000LL;
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += static_cast<long>(sliceNs);
        until.tv_sec += until.tv_nsec / 1000000000L;
        until.tv_nsec %= 1000000000L;
        int rc = pthread_mutex_timedlock(mutex, &until);
        if (rc != ETIMEDOUT) return rc;
    }
}

bool LockFileShared(int fd) {
    struct flock range = {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    while (fcntl(fd, F_OFD_SETLKW, &range) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool TryLockFileExclusive(int fd) {
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
}

bool IsPlainNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// The file that holds the mutex `key`. Names that make safe file names are used as they are;
// others (with '/' or '\', or too long for NAME_MAX) are hashed, behind a readable prefix. The
// two forms cannot collide, and the full name stored in the file catches hash collisions.
std::string SharedFileName(const std::string& key) {
    bool plain = key.size() <= 200;
    for (size_t i = 0; plain && i < key.size(); ++i) plain = IsPlainNameCharacter(key[i]);
    if (plain) return "kvmutex.n." + key;

    // FNV-1a, 128 bits.
    unsigned __int128 hash = (static_cast<unsigned __int128>(0x6c62272e07bb0142ULL) << 64) | 0x62b821756295c58dULL;
    const unsigned __int128 prime = (static_cast<unsigned __int128>(0x0000000001000000ULL) << 64) | 0x000000000000013BULL;
    for (unsigned char c : key) {
        hash ^= c;
        hash *= prime;
    }
    std::string name = "kvmutex.h.";
    for (size_t i = 0; i < key.size() && i < 40; ++i) name += IsPlainNameCharacter(key[i]) ? key[i] : '_';
    name += '.';
    static const char kHex[] = "0123456789abcdef";
    for (int shift = 124; shift >= 0; shift -= 4) name += kHex[static_cast<unsigned>(hash >> shift) & 0xF];
    return name;
}

// The file of `key` that only processes of this user use, when the shared one is in the way.
std::string OwnFileName(const std::string& key) {
    return "kvmutex.u" + std::to_string(geteuid()) + SharedFileName(key).substr(7);
}

// Says once per name and process which file kept the mutex from being shared, and what to do.
void NoticeUnusable(const std::string& key, const std::string& file, const std::string& problem,
                    const std::string& instead) {
    static std::mutex lock;
    static std::set<std::string>* noticed = new std::set<std::string>;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!noticed->insert(key).second) return;
    }
    std::string notice = "kvposix: the named mutex \"" + key + "\" cannot use " + kShmDirectory + file + ": " +
                         problem + ". This process uses " + instead +
                         ". Remove that file once no program uses it (rm " + kShmDirectory + file +
                         " as root), or run as its user or a member of its group\n";
    OutputDebugStringA(notice.c_str());
}

class Mutex final : public KernelObject {
public:
    Mutex() : KernelObject(ObjectKind::Mutex) {}

    ~Mutex() override {
        if (mNamed) ForgetName();
        if (!mShared) {
            if (mBlock) {
                pthread_mutex_destroy(&mBlock->mutex);
                delete mBlock;
            }
            return;
        }
        if (mBlock) munmap(mBlock, sizeof(MutexBlock));
        if (mFd >= 0) {
            RemoveNameIfLast();
            close(mFd);
        }
    }

    // Only the last process using the mutex gets the exclusive lock. Once only: the name may
    // then be another mutex's.
    void RemoveNameIfLast() {
        if (mFd < 0 || mNameRemoved || !TryLockFileExclusive(mFd)) return;
        unlink((kShmDirectory + mFile).c_str());
        mNameRemoved = true;
    }

    DWORD InitializeUnnamed() {
        mBlock = new (std::nothrow) MutexBlock();
        if (!mBlock) return ERROR_NOT_ENOUGH_MEMORY;
        if (int rc = InitializeLock(&mBlock->mutex, false)) {
            delete mBlock;
            mBlock = nullptr;
            return Win32ErrorFromErrno(rc);
        }
        return ERROR_SUCCESS;
    }

    // Opens the named mutex, or creates it when `create` allows. ERROR_SUCCESS, or
    // ERROR_ALREADY_EXISTS when it was opened rather than created, or an error.
    DWORD OpenNamed(const std::string& key, bool create, bool initialOwner) {
        mNamed = true;
        mShared = true;
        mKey = key;
        std::string problem;
        const std::string shared = SharedFileName(key);
        DWORD result = OpenFile(shared, false, create, initialOwner, problem);
        if (result != kUnusable) return result;
        const std::string own = OwnFileName(key);
        std::string ownProblem;
        result = OpenFile(own, true, create, initialOwner, ownProblem);
        if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) {
            NoticeUnusable(key, shared, problem, kShmDirectory + own + ", shared only with this user's processes");
            return result;
        }
        if (result != kUnusable) return result;
        if (!create) return ERROR_FILE_NOT_FOUND;
        // Both files are in the way: a mutex of this process's own still serves its threads.
        mShared = false;
        mFile.clear();
        NoticeUnusable(key, shared, problem + " (and " + kShmDirectory + own + ": " + ownProblem + ")",
                       "a mutex of its own, which other processes do not see");
        if (DWORD error = InitializeUnnamed()) return error;
        if (initialOwner) TakeInitialOwnership();
        return ERROR_SUCCESS;
    }

    const std::string& key() const { return mKey; }
    bool shared() const { return mShared; }

    DWORD Wait(DWORD milliseconds) override { return Acquired(LockWithin(&mBlock->mutex, milliseconds)); }

    // Takes a mutex this thread just created unowned-by-anyone-else; cannot block.
    void TakeInitialOwnership() { Acquired(pthread_mutex_trylock(&mBlock->mutex)); }

    // Books a lock that the pthread mutex already granted in CreateNew.
    void AdoptInitialOwnership() { CountHold(); }

    DWORD ReleaseOwnership() {
        pid_t self = static_cast<pid_t>(GetCurrentThreadId());
        if (mBlock->owner.load() != self) return ERROR_NOT_OWNER;
        uint32_t left = mBlock->recursion.load() - 1;
        mBlock->recursion.store(left);
        if (left == 0) mBlock->owner.store(0);
        mLocalHolds.fetch_sub(1);
        if (pthread_mutex_unlock(&mBlock->mutex) != 0) {
            // The owner id was a dead owner's, reused by this thread: it never held the mutex.
            mLocalHolds.fetch_add(1);
            return ERROR_NOT_OWNER;
        }
        Release();  // the hold's reference; the caller's handle keeps the object
        return ERROR_SUCCESS;
    }

    // Forgets the in-process cache entry if it still names this object.
    void ForgetName();

private:
    // Each hold keeps a reference, so a mutex is never unmapped while this process owns it (the
    // pthread robust list still points into it). mLocalHolds counts them, for this process.
    void CountHold() {
        mBlock->owner.store(static_cast<pid_t>(GetCurrentThreadId()));
        mBlock->recursion.fetch_add(1);
        mLocalHolds.fetch_add(1);
        AddRef();
    }

    DWORD Acquired(int rc) {
        bool abandoned = false;
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&mBlock->mutex);
            abandoned = true;
        } else if (rc == EBUSY || rc == ETIMEDOUT) {
            return WAIT_TIMEOUT;
        } else if (rc != 0) {
            return FailWith(Win32ErrorFromErrno(rc), WAIT_FAILED);
        }
        if (abandoned) {
            // The owner ended without releasing. If it was a thread of this process, the
            // references its holds kept have nobody left to drop them.
            mBlock->recursion.store(0);
            for (long stale = mLocalHolds.exchange(0); stale > 0; --stale) Release();
        }
        CountHold();
        return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }

    // One candidate file: ERROR_SUCCESS (created), ERROR_ALREADY_EXISTS (opened), kUnusable with
    // `problem` saying why, or an error.
    DWORD OpenFile(const std::string& file, bool ownOnly, bool create, bool initialOwner, std::string& problem) {
        mFile = file;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            DWORD result = OpenExisting(ownOnly, initialOwner, problem);
            if (result == ERROR_SUCCESS || result == kRemovedMeanwhile) {
                if (result == ERROR_SUCCESS) return ERROR_ALREADY_EXISTS;
                continue;
            }
            if (result == kBuiltInPlace) return ERROR_SUCCESS;
            if (result != ERROR_FILE_NOT_FOUND || !create) return result;
            result = CreateNew(initialOwner);
            if (result != kLostTheRace) return result;  // else another process won: open it
        }
        return ERROR_GEN_FAILURE;
    }

    // ERROR_SUCCESS when the existing file was opened; kBuiltInPlace when it was dead and this
    // process built the mutex anew inside it; kRemovedMeanwhile to look again; kUnusable.
    DWORD OpenExisting(bool ownOnly, bool initialOwner, std::string& problem) {
        const std::string path = kShmDirectory + mFile;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        struct stat status;
        if (fd < 0) {
            int error = errno;
            if (error != EACCES && error != EPERM && error != ELOOP) return Win32ErrorFromErrno(error);
            problem = lstat(path.c_str(), &status) == 0 ? "it is " + SharedAccess::Describe(status) +
                                                              ", which this user may not open"
                                                        : std::string("this user may not open it");
            return kUnusable;
        }
        if (fstat(fd, &status) != 0) {
            DWORD error = Win32ErrorFromErrno(errno);
            close(fd);
            return error;
        }
        const bool trusted =
            S_ISREG(status.st_mode) && SharedAccess::Trusted(status) && (!ownOnly || status.st_uid == geteuid());
        // Nobody holds it: its last user died before it could remove the name. On Windows the
        // mutex would have died with it, so it goes now, before anyone uses it again -- also
        // one planted, where this user may remove it.
        if (S_ISREG(status.st_mode) && TryLockFileExclusive(fd)) {
            if (unlink(path.c_str()) == 0 || errno == ENOENT) {
                close(fd);
                return kRemovedMeanwhile;
            }
            // Another user's file, which the sticky folder keeps: the mutex starts afresh in it.
            if (trusted) {
                DWORD result = BuildInPlace(fd, initialOwner);
                return result == ERROR_SUCCESS ? kBuiltInPlace : result;
            }
        }
        if (!trusted) {
            problem = "it is " + SharedAccess::Describe(status) +
                      ", made by another user outside the component's group or writable by others";
            close(fd);
            return kUnusable;
        }
        // Taken before anything is read: while any process holds it, nobody removes the name.
        if (!LockFileShared(fd) || fstat(fd, &status) != 0) {
            DWORD error = Win32ErrorFromErrno(errno);
            close(fd);
            return error;
        }
        if (status.st_nlink == 0) {
            close(fd);
            return kRemovedMeanwhile;
        }
        void* mapped = MAP_FAILED;
        if (status.st_size >= static_cast<off_t>(sizeof(MutexBlock)))
            mapped = mmap(nullptr, sizeof(MutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        MutexBlock* block = static_cast<MutexBlock*>(mapped);
        if (mapped == MAP_FAILED || block->magic != kMagic || block->nameLength != mKey.size() ||
            memcmp(block->name, mKey.data(), mKey.size()) != 0) {
            if (mapped != MAP_FAILED) munmap(mapped, sizeof(MutexBlock));
            close(fd);
            problem = "it holds something other than this mutex";
            return kUnusable;
        }
        mFd = fd;
        mBlock = block;
        return ERROR_SUCCESS;
    }

    // Lays a fresh mutex into `fd`, whose exclusive lock this process holds, so that nobody maps
    // it meanwhile; then shares the lock, which lets the openers waiting for it in.
    DWORD BuildInPlace(int fd, bool initialOwner) {
        MutexBlock* block = nullptr;
        DWORD result = Lay(fd, initialOwner, block);
        if (result == ERROR_SUCCESS && !LockFileShared(fd)) {
            result = Win32ErrorFromErrno(errno);
            if (initialOwner) pthread_mutex_unlock(&block->mutex);
            munmap(block, sizeof(MutexBlock));
        }
        if (result != ERROR_SUCCESS) {
            close(fd);
            return result;
        }
        mFd = fd;
        mBlock = block;
        if (initialOwner) AdoptInitialOwnership();
        return ERROR_SUCCESS;
    }

    // Sizes, maps and initialises the mutex in `fd`; on failure nothing stays mapped or locked.
    DWORD Lay(int fd, bool initialOwner, MutexBlock*& block) {
        block = nullptr;
        if (ftruncate(fd, sizeof(MutexBlock)) != 0) return Win32ErrorFromErrno(errno);
        void* mapped = mmap(nullptr, sizeof(MutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) return Win32ErrorFromErrno(errno);
        MutexBlock* laid = new (mapped) MutexBlock();
        laid->magic = kMagic;
        laid->nameLength = static_cast<uint32_t>(mKey.size());
        memcpy(laid->name, mKey.data(), mKey.size());
        int rc = InitializeLock(&laid->mutex, true);
        // Nobody else can see it yet, so this cannot fail to get it. A try-lock says so, also to
        // lock-order checkers: the names lock is held here.
        if (rc == 0 && initialOwner) rc = pthread_mutex_trylock(&laid->mutex);
        if (rc != 0) {
            munmap(mapped, sizeof(MutexBlock));
            return Win32ErrorFromErrno(rc);
        }
        block = laid;
        return ERROR_SUCCESS;
    }

    // ERROR_SUCCESS, kLostTheRace when another process created the name first, or an error.
    DWORD CreateNew(bool initialOwner) {
        // An unpredictable temporary name: nobody can take it beforehand.
        std::string temporary = kShmDirectory + "kvmutex.t.XXXXXX";
        int fd = mkostemp(&temporary[0], O_CLOEXEC);
        if (fd < 0) return Win32ErrorFromErrno(errno);
        MutexBlock* block = nullptr;
        auto abandon = [&](DWORD error) {
            ErrnoKeeper keep;
            if (block) {
                if (initialOwner) pthread_mutex_unlock(&block->mutex);
                munmap(block, sizeof(MutexBlock));
            }
            unlink(temporary.c_str());
            close(fd);
            return error;
        };
        if (!SharedAccess::Restrict(fd, false)) return abandon(Win32ErrorFromErrno(errno));
        if (DWORD error = Lay(fd, initialOwner, block)) return abandon(error);
        if (!LockFileShared(fd)) return abandon(Win32ErrorFromErrno(errno));
        if (link(temporary.c_str(), (kShmDirectory + mFile).c_str()) != 0) {
            return abandon(errno == EEXIST ? kLostTheRace : Win32ErrorFromErrno(errno));
        }
        unlink(temporary.c_str());
        mFd = fd;
        mBlock = block;
        if (initialOwner) AdoptInitialOwnership();
        return ERROR_SUCCESS;
    }

    MutexBlock* mBlock = nullptr;
    bool mNamed = false;
    bool mShared = false;
    bool mNameRemoved = false;
    int mFd = -1;
    std::string mKey;
    std::string mFile;
    std::atomic<long> mLocalHolds{0};
};

// The named mutexes this process has open, by name, without references of their own.
std::mutex gNamesLock;
std::map<std::string, Mutex*>& Names() {
    static auto* names = new std::map<std::string, Mutex*>;
    return *names;
}

// When the process exits, the names it alone still holds go with it, as its handles would on
// Windows: also those a module keeps open to the end. Defined after gNamesLock, so it ends
// before it.
struct RemoveNamesAtExit {
    ~RemoveNamesAtExit() {
        std::lock_guard<std::mutex> guard(gNamesLock);
        for (auto& entry : Names()) entry.second->RemoveNameIfLast();
    }
} gRemoveNamesAtExit;

void Mutex::ForgetName() {
    std::lock_guard<std::mutex> guard(gNamesLock);
    auto it = Names().find(mKey);
    if (it != Names().end() && it->second == this) Names().erase(it);
}

// "Local\" is the session namespace, which is the only one here.
std::string KeyOf(LPCSTR name) {
    std::string key = name;
    if (key.compare(0, 6, "Local\\") == 0) key.erase(0, 6);
    return key;
}

HANDLE OpenOrCreateNamed(LPCSTR name, bool create, bool initialOwner) {
    if (strlen(name) > kMaxNameLength) return FailWith(ERROR_FILENAME_EXCED_RANGE, HANDLE(nullptr));
    std::string key;
    try {
        key = KeyOf(name);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    }
    Mutex* mutex = nullptr;
    DWORD result = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(gNamesLock);
        auto it = Names().find(key);
        if (it != Names().end() && it->second->TryAddRef()) {
            mutex = it->second;
            result = ERROR_ALREADY_EXISTS;
        } else {
            mutex = new (std::nothrow) Mutex();
            if (!mutex) return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
            try {
                result = mutex->OpenNamed(key, create, initialOwner);
                if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) Names()[key] = mutex;
            } catch (const std::bad_alloc&) {
                result = ERROR_NOT_ENOUGH_MEMORY;
            }
        }
    }
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) {
        mutex->Release();  // outside the names lock: the destructor takes it
        return FailWith(result, HANDLE(nullptr));
    }
    HANDLE handle = InsertHandle(mutex);
    if (handle && create) SetLastError(result);
    return handle;
}

}  // namespace

KVAPI HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    if (lpName && *lpName) {
        // Whatever the attributes say, a named mutex is its maker's and the component's group's only
        // (SharedAccess): one open to everyone could be stalled by anyone.
        return OpenOrCreateNamed(lpName, true, bInitialOwner != FALSE);
    }
    Mutex* mutex = new (std::nothrow) Mutex();
    if (!mutex) return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    if (DWORD error = mutex->InitializeUnnamed()) {
        mutex->Release();
        return FailWith(error, HANDLE(nullptr));
    }
    if (bInitialOwner) mutex->TakeInitialOwnership();
    HANDLE handle = InsertHandle(mutex);
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
}

KVAPI HANDLE OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
    if (!lpName) return FailWith(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    if (!*lpName) return FailWith(ERROR_FILE_NOT_FOUND, HANDLE(nullptr));
    return OpenOrCreateNamed(lpName, false, false);
}

KVAPI BOOL ReleaseMutex(HANDLE hMutex) {
    Ref<Mutex> mutex = ReferenceHandleAs<Mutex>(hMutex, ObjectKind::Mutex);
    if (!mutex) return FALSE;
    if (DWORD error = mutex->ReleaseOwnership()) return FailWith(error, FALSE);
    return TRUE;
}
