// registry_store.cpp -- locates the registry file, caches its parse, and replaces it atomically.
#include "RegistryStore.h"

#include "RegistryText.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace kvreg {

namespace {

// Closes its descriptor on every way out of a scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : mFd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return mFd; }
    int release() {
        int fd = mFd;
        mFd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (mFd >= 0) close(mFd);
        mFd = fd;
    }

private:
    int mFd;
};

LSTATUS StatusFromErrno(int error, LSTATUS fallback) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return fallback;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

ULONGLONG FileTimeOf(const struct stat& st) {
    const ULONGLONG kUnixEpochIn1601 = 116444736000000000ULL;
    return kUnixEpochIn1601 + static_cast<ULONGLONG>(st.st_mtim.tv_sec) * 10000000ULL +
           static_cast<ULONGLONG>(st.st_mtim.tv_nsec) / 100;
}

std::string ParentFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

LSTATUS MakeFolders(const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return StatusFromErrno(errno, ERROR_CANTWRITE);
        if (slash == std::string::npos) return ERROR_SUCCESS;
    }
}

bool ReadAll(int fd, std::string& out) {
    char buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// What keeps `summary`'s file from being read completely; empty when nothing does.
std::string DescribeDamage(const std::string& path, const RegTextSummary& summary) {
    if (!summary.notText && summary.skippedLines == 0) return std::string();
    const size_t kShown = 80;
    std::string shown;
    for (char c : summary.firstBadText.substr(0, kShown)) shown += (static_cast<unsigned char>(c) < 0x20 && c != '\t') ? '?' : c;
    if (summary.firstBadText.size() > kShown) shown += "...";
    std::string line = std::to_string(summary.firstBadLine);
    if (summary.notText) return "\"" + path + "\" is not a text file: line " + line + " holds a NUL byte";
    std::string text = "\"" + path + "\" cannot be read completely: line " + line + " is not understood: " + shown;
    if (summary.skippedLines > 1) text += " (and " + std::to_string(summary.skippedLines - 1) + " more)";
    return text;
}

// However quiet the watch, the file is looked at again after this long: a change it cannot see
// (a folder further up the path renamed or re-linked) is seen within it.
const std::chrono::milliseconds kLookAgainAfter(1000);

}  // namespace

RegistryStore& RegistryStore::Instance() {
    static RegistryStore* store = new RegistryStore;
    return *store;
}

std::string RegistryStore::ResolvePathLocked() const {
    if (!mOverride.empty()) return mOverride;
    const char* configured = getenv("KVLUMEN_REGISTRY");
    if (configured && *configured) return configured;
    return KVPOSIX_MACHINE_REGISTRY;
}

void RegistryStore::SetPathOverride(const char* path) {
    std::unique_lock<std::shared_mutex> lock(mMutex);
    mOverride = path ? path : "";
}

std::string RegistryStore::Path() {
    std::shared_lock<std::shared_mutex> lock(mMutex);
    return ResolvePathLocked();
}

void RegistryStore::ForgetCachedFileLocked() {
    if (mCachedFd >= 0) close(mCachedFd);
    mCachedFd = -1;
    mCacheValid = false;
    mCachedMissing = false;
    mDamage.clear();
    mTop = std::make_unique<RegKey>();
    ++mGeneration;
}

void RegistryStore::ForgetCacheLocked() {
    ForgetCachedFileLocked();
    mWatch.Disarm();
    mWatchRefused = false;
}

void RegistryStore::ReportDamageLocked() {
    if (mDamage.empty() || mDamage == mReportedDamage) return;
    mReportedDamage = mDamage;
    std::string notice = "kvposix: the registry store " + mDamage +
                         "\nkvposix: no change is written to it until it is mended\n";
    OutputDebugStringA(notice.c_str());
}

bool RegistryStore::FreshLocked(const std::string& path) const {
    return mCacheValid && path == mCachedPath && mWatch.Quiet(path) &&
           std::chrono::steady_clock::now() - mLastLook < kLookAgainAfter;
}

LSTATUS RegistryStore::RefreshLocked(const std::string& path, bool force) {
    if (path != mCachedPath) {
        ForgetCacheLocked();
        mCachedPath = path;
    }
    if (!force && FreshLocked(path)) return ERROR_SUCCESS;
    // Armed before the look, so that nothing that happens after it goes unseen; what happened
    // before it, the look itself shows.
    if (!mWatchRefused) mWatchRefused = !mWatch.Arm(path);
    mLastLook = std::chrono::steady_clock::now();
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT && errno != ENOTDIR) return StatusFromErrno(errno, ERROR_CANTREAD);
    if (!force && mCacheValid && (exists ? (!mCachedMissing && SameFile(st, mCachedStat)) : mCachedMissing))
        return ERROR_SUCCESS;

    UniqueFd fd(exists ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    if (fd.get() < 0) {
        if (exists && errno != ENOENT) return StatusFromErrno(errno, ERROR_CANTREAD);
        // No file (or it went away since the stat): an empty registry.
        ForgetCachedFileLocked();
        mCacheValid = true;
        mCachedMissing = true;
        return ERROR_SUCCESS;
    }
    struct stat opened;
    std::string bytes;
    if (fstat(fd.get(), &opened) != 0 || !ReadAll(fd.get(), bytes)) return ERROR_CANTREAD;
    auto top = std::make_unique<RegKey>();
    std::string damage = DescribeDamage(path, ApplyRegText(DecodeRegFileBytes(bytes), *top));

    ForgetCachedFileLocked();
    mTop = std::move(top);
    mDamage = std::move(damage);
    if (mDamage.empty()) mReportedDamage.clear();  // mended: new damage is news again
    mCachedFd = fd.release();
    mCachedStat = opened;
    mCacheValid = true;
    return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Read(const Reader& reader) {
    {
        std::shared_lock<std::shared_mutex> shared(mMutex);
        if (FreshLocked(ResolvePathLocked())) return reader(*mTop, mCachedMissing ? 0 : FileTimeOf(mCachedStat));
    }
    std::unique_lock<std::shared_mutex> lock(mMutex);
    LSTATUS rc = RefreshLocked(ResolvePathLocked(), false);
    if (rc != ERROR_SUCCESS) return rc;
    // Readers get what could be read; only changes are refused.
    ReportDamageLocked();
    return reader(*mTop, mCachedMissing ? 0 : FileTimeOf(mCachedStat));
}

LSTATUS RegistryStore::Generation(uint64_t* generation) {
    return Read([&](const RegKey&, ULONGLONG) -> LSTATUS {
        *generation = mGeneration;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegistryStore::Check(std::string& description) {
    std::unique_lock<std::shared_mutex> lock(mMutex);
    LSTATUS rc = RefreshLocked(ResolvePathLocked(), false);
    if (rc != ERROR_SUCCESS) return rc;
    description = mDamage;
    if (mDamage.empty()) return ERROR_SUCCESS;
    mReportedDamage = mDamage;  // the caller says it
    return ERROR_BADDB;
}

LSTATUS RegistryStore::ReplaceFileLocked(const std::string& path, const std::string& text, int& newFd) {
    std::vector<char> name(path.begin(), path.end());
    static const char kSuffix[] = ".XXXXXX";
    name.insert(name.end(), kSuffix, kSuffix + sizeof(kSuffix));  // with the NUL
    UniqueFd fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) return StatusFromErrno(errno, ERROR_CANTWRITE);
    // Keep the store's permissions; a new store is readable by all, like the system registry.
    mode_t mode = (mCacheValid && !mCachedMissing) ? (mCachedStat.st_mode & 07777) : 0644;
    if (!WriteAll(fd.get(), text) || fchmod(fd.get(), mode) != 0 || fsync(fd.get()) != 0 ||
        rename(name.data(), path.c_str()) != 0) {
        LSTATUS rc = StatusFromErrno(errno, ERROR_CANTWRITE);
        unlink(name.data());
        return rc;
    }
    // The rename itself is durable only once the folder is synced.
    UniqueFd folder(open(ParentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) fsync(folder.get());
    newFd = fd.release();
    return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Write(const Writer& writer) {
    std::unique_lock<std::shared_mutex> lock(mMutex);
    std::string path = ResolvePathLocked();
    LSTATUS rc = MakeFolders(ParentFolder(path));
    if (rc != ERROR_SUCCESS) return rc;

    UniqueFd lockFd(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lockFd.get() < 0) return StatusFromErrno(errno, ERROR_CANTWRITE);
    // An OFD lock belongs to this open file, so it also excludes other threads of this process
    // that opened their own, and the kernel drops it when its process dies.
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    while (fcntl(lockFd.get(), F_OFD_SETLKW, &range) != 0) {
        if (errno != EINTR) return StatusFromErrno(errno, ERROR_CANTWRITE);
    }

    // Another process may have changed the file an instant ago: always start from the file. The
    // folder may be new: the watch gets another chance.
    mWatchRefused = false;
    rc = RefreshLocked(path, true);
    if (rc != ERROR_SUCCESS) return rc;
    // Rewriting a file we could not read completely would lose what we could not read.
    if (!mDamage.empty()) {
        ReportDamageLocked();
        return ERROR_BADDB;
    }
    bool changed = false;
    int newFd = -1;
    try {
        rc = writer(*mTop, changed);
        if (!changed) return rc;
        ++mGeneration;
        if (rc == ERROR_SUCCESS) rc = ReplaceFileLocked(path, FormatStoreText(*mTop), newFd);
    } catch (...) {
        ForgetCacheLocked();  // the tree may no longer match the file
        throw;
    }
    if (rc != ERROR_SUCCESS) {
        ForgetCacheLocked();
        return rc;
    }
    struct stat written;
    if (fstat(newFd, &written) != 0) {
        close(newFd);
        ForgetCacheLocked();
        return ERROR_SUCCESS;  // the change is on disk; the next read parses it again
    }
    if (mCachedFd >= 0) close(mCachedFd);
    mCachedFd = newFd;
    mCachedStat = written;
    mCachedMissing = false;
    mCacheValid = true;
    return ERROR_SUCCESS;
}

}  // namespace kvreg
