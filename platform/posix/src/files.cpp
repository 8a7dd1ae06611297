// files.cpp -- files, byte-range locks, folders, finding files, security descriptors.
#include "KernelObject.h"
#include "Security.h"
#include "SharedAccess.h"
#include "Win32Error.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

using namespace kvposix;

namespace {

constexpr DWORD kReadAccess = GENERIC_READ | GENERIC_ALL | 0x0001u /* FILE_READ_DATA */;
constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | 0x0002u /* FILE_WRITE_DATA */ | 0x0004u /* FILE_APPEND_DATA */;
constexpr uint64_t kLargestOffset = static_cast<uint64_t>(INT64_MAX);

struct LockedRange {
    uint64_t offset;
    uint64_t length;
};

class File final : public KernelObject {
public:
    File(int fd, bool readable, bool writable, bool regular)
        : KernelObject(ObjectKind::File), fd(fd), readable(readable), writable(writable), regular(regular) {}
    ~File() override { close(fd); }

    // A file handle is always signalled.
    DWORD Wait(DWORD) override { return WAIT_OBJECT_0; }

    const int fd;
    const bool readable;
    const bool writable;
    const bool regular;
    // Windows locks do not stack, not even through one handle; OFD locks through one open file
    // description would merge. This list keeps Windows' rule and UnlockFile's exact match.
    std::mutex rangesLock;
    std::vector<LockedRange> ranges;
};

// The error for a path that does not exist: Windows tells a missing file in an existing folder
// from a missing folder.
DWORD MissingPathError(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return ERROR_PATH_NOT_FOUND;
    size_t slash = path.rfind('/', end);
    std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat status;
    if (stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

DWORD PathError(int error, const char* path) {
    if (error == ENOENT) return MissingPathError(path);
    return Win32ErrorFromErrno(error);
}

template <class T>
T FailWithPathErrno(const char* path, T result) {
    return FailWith(PathError(errno, path), result);
}

// Opens, retrying interrupted calls.
int OpenPath(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// 100-nanosecond intervals since 1601.
FILETIME FileTimeOf(const timespec& time) {
    constexpr uint64_t kEpochDifference = 11644473600ULL;  // seconds from 1601 to 1970
    uint64_t ticks = (static_cast<uint64_t>(time.tv_sec) + kEpochDifference) * 10000000ULL +
                     static_cast<uint64_t>(time.tv_nsec) / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

void FillFindData(const std::string& name, const struct stat& status, WIN32_FIND_DATAA* data) {
    memset(data, 0, sizeof(*data));
    if (S_ISDIR(status.st_mode)) {
        data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        uint64_t size = static_cast<uint64_t>(status.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
    }
    if ((status.st_mode & 0222) == 0) data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (data->dwFileAttributes == 0) data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    data->ftCreationTime = FileTimeOf(status.st_ctim);
    data->ftLastAccessTime = FileTimeOf(status.st_atim);
    data->ftLastWriteTime = FileTimeOf(status.st_mtim);
    memcpy(data->cFileName, name.c_str(), name.size() + 1);
}

bool HasWildcards(const std::string& pattern) { return pattern.find_first_of("*?") != std::string::npos; }

// '*' matches any run of characters, '?' exactly one.
bool Matches(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starPattern) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

class FindSearch final : public KernelObject {
public:
    FindSearch(DIR* directory, std::string pattern)
        : KernelObject(ObjectKind::Find), mDirectory(directory), mPattern(std::move(pattern)) {}
    ~FindSearch() override {
        if (mDirectory) closedir(mDirectory);
    }

    // The next matching entry; false at the end.
    bool Next(WIN32_FIND_DATAA* data) {
        std::lock_guard<std::mutex> guard(mLock);
        if (!mDirectory) return false;
        while (dirent* entry = readdir(mDirectory)) {
            size_t length = strlen(entry->d_name);
            if (length >= MAX_PATH || !Matches(mPattern.c_str(), entry->d_name)) continue;
            struct stat status;
            if (fstatat(dirfd(mDirectory), entry->d_name, &status, 0) != 0 &&
                fstatat(dirfd(mDirectory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;  // gone since it was listed
            }
            FillFindData(entry->d_name, status, data);
            return true;
        }
        return false;
    }

private:
    std::mutex mLock;
    DIR* mDirectory;
    const std::string mPattern;
};

}  // namespace

KVAPI HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                         DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (!lpFileName || !*lpFileName) return FailWith(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (dwFlagsAndAttributes & (FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE)) {
        return FailWith(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    }
    const bool readable = (dwDesiredAccess & kReadAccess) != 0;
    const bool writable = (dwDesiredAccess & kWriteAccess) != 0;
    int flags = writable ? (readable ? O_RDWR : O_WRONLY) : O_RDONLY;
    flags |= O_NOCTTY;
    if (!Inheritable(lpSecurityAttributes)) flags |= O_CLOEXEC;
    if (dwFlagsAndAttributes & FILE_FLAG_POSIX_NOFOLLOW) flags |= O_NOFOLLOW;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
    const bool openToAll = OpenToAllUsers(lpSecurityAttributes);
    const mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    int fd = -1;
    bool existed = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = OpenPath(lpFileName, flags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST) return FailWith(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
        // Create exclusively first, so that "it existed" is known for certain; a file removed
        // between the two opens sends us round again. A dangling symbolic link looks like an
        // existing file to O_EXCL and like a missing one to a plain open: the last round
        // creates through it, as Windows would.
        const int truncate = dwCreationDisposition == CREATE_ALWAYS ? O_TRUNC : 0;
        for (int attempt = 0; fd < 0 && attempt < 4; ++attempt) {
            if (attempt == 3) {
                fd = OpenPath(lpFileName, flags | O_CREAT | truncate, mode);
                break;
            }
            fd = OpenPath(lpFileName, flags | O_CREAT | O_EXCL, mode);
            if (fd >= 0 || errno != EEXIST) break;
            fd = OpenPath(lpFileName, flags | truncate, 0);
            if (fd >= 0) existed = true;
            if (fd >= 0 || errno != ENOENT) break;
        }
        break;
    }
    case OPEN_EXISTING:
        if (writable && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
            // Windows opens a folder for writing with backup semantics, so that FlushFileBuffers
            // can make the names in it durable; POSIX opens folders for reading only, and fsync
            // needs no more.
            fd = OpenPath(lpFileName, (flags & ~O_ACCMODE) | O_RDONLY | O_DIRECTORY, 0);
            if (fd >= 0 || errno != ENOTDIR) {
                existed = true;
                break;
            }
        }
        fd = OpenPath(lpFileName, flags, 0);
        existed = true;
        break;
    case TRUNCATE_EXISTING:
        if (!writable) return FailWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
        fd = OpenPath(lpFileName, flags | O_TRUNC, 0);
        existed = true;
        break;
    default:
        return FailWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    if (fd < 0) return FailWithPathErrno(lpFileName, INVALID_HANDLE_VALUE);

    struct stat status;
    if (fstat(fd, &status) != 0) {
        ErrnoKeeper keep;
        close(fd);
        return FailWithErrno(INVALID_HANDLE_VALUE);
    }
    if (S_ISDIR(status.st_mode) && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        close(fd);
        return FailWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    // "Everyone" on Windows is the maker and the component's group here: a log open to all
    // local users could be filled or emptied by any of them.
    if (!existed && openToAll &&
        (!SharedAccess::Restrict(fd, false) ||
         ((mode & 0222) == 0 && (fstat(fd, &status) != 0 || fchmod(fd, status.st_mode & 0555) != 0)))) {
        ErrnoKeeper keep;
        close(fd);
        unlink(lpFileName);
        return FailWithErrno(INVALID_HANDLE_VALUE);
    }

    if (!existed && !openToAll) SharedAccess::FollowFolder(fd, lpFileName);

    File* file = new (std::nothrow) File(fd, readable, writable, S_ISREG(status.st_mode));
    if (!file) {
        close(fd);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    }
    HANDLE handle = InsertHandle(file);
    if (!handle) return INVALID_HANDLE_VALUE;
    const bool reportExisting =
        existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

KVAPI BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                    LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return FALSE;
    if (lpOverlapped) return FailWith(ERROR_NOT_SUPPORTED, FALSE);
    if (!file->readable) return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (!lpBuffer && nNumberOfBytesToRead) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    char* buffer = static_cast<char*>(lpBuffer);
    DWORD done = 0;
    // A file read returns all that was asked for unless the end comes first; a pipe read
    // returns what is there.
    while (done < nNumberOfBytesToRead) {
        ssize_t got = read(file->fd, buffer + done, nNumberOfBytesToRead - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (done > 0) break;  // report what arrived; the error comes again on the next read
            return FailWithErrno(FALSE);
        }
        if (got == 0) break;
        done += static_cast<DWORD>(got);
        if (!file->regular) break;
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return TRUE;
}

KVAPI BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return FALSE;
    if (lpOverlapped) return FailWith(ERROR_NOT_SUPPORTED, FALSE);
    if (!file->writable) return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (!lpBuffer && nNumberOfBytesToWrite) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    const char* buffer = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    BOOL result = TRUE;
    while (done < nNumberOfBytesToWrite) {
        ssize_t put = write(file->fd, buffer + done, nNumberOfBytesToWrite - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            result = put < 0 ? FailWithErrno(FALSE) : FailWith(ERROR_WRITE_FAULT, FALSE);
            break;
        }
        done += static_cast<DWORD>(put);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return result;
}

KVAPI DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return INVALID_SET_FILE_POINTER;
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (dwMoveMethod > FILE_END) return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    // Without a high part the distance is a signed 32-bit value; with one, the two make a
    // signed 64-bit value.
    int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh) {
        distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                        static_cast<uint32_t>(lDistanceToMove));
    }
    off_t position = lseek(file->fd, distance, kWhence[dwMoveMethod]);
    if (position < 0) {
        if (errno == EINVAL) return FailWith(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
        if (errno == ESPIPE) return FailWith(ERROR_INVALID_FUNCTION, INVALID_SET_FILE_POINTER);
        return FailWithErrno(INVALID_SET_FILE_POINTER);
    }
    uint64_t newPosition = static_cast<uint64_t>(position);
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(newPosition >> 32);
    // A position whose low part looks like the failure value reads as success by last error.
    if (static_cast<DWORD>(newPosition) == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(newPosition);
}

KVAPI BOOL SetEndOfFile(HANDLE hFile) {
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return FALSE;
    if (!file->writable) return FailWith(ERROR_ACCESS_DENIED, FALSE);
    off_t position = lseek(file->fd, 0, SEEK_CUR);
    if (position < 0 || ftruncate(file->fd, position) != 0) return FailWithErrno(FALSE);
    return TRUE;
}

KVAPI DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return INVALID_FILE_SIZE;
    struct stat status;
    if (fstat(file->fd, &status) != 0) return FailWithErrno(INVALID_FILE_SIZE);
    uint64_t size = static_cast<uint64_t>(status.st_size);
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

KVAPI BOOL FlushFileBuffers(HANDLE hFile) {
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return FALSE;
    if (!file->writable) return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (fsync(file->fd) != 0 && errno != EINVAL) return FailWithErrno(FALSE);
    return TRUE;
}

KVAPI BOOL KvFlushFilesTogether(const HANDLE* handles, DWORD count) {
    if (count > 0 && !handles) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (count <= 1) return count == 0 ? TRUE : FlushFileBuffers(handles[0]);
    std::vector<Ref<File>> files;
    files.reserve(count);
    bool oneFileSystem = true;
    dev_t device = 0;
    for (DWORD i = 0; i < count; ++i) {
        Ref<File> file = ReferenceHandleAs<File>(handles[i], ObjectKind::File);
        if (!file) return FALSE;
        if (!file->writable) return FailWith(ERROR_ACCESS_DENIED, FALSE);
        struct stat status;
        if (fstat(file->fd, &status) != 0) return FailWithErrno(FALSE);
        if (i == 0) device = status.st_dev;
        oneFileSystem = oneFileSystem && status.st_dev == device;
        files.push_back(std::move(file));
    }
    if (!oneFileSystem) {
        for (const Ref<File>& file : files)
            if (fsync(file->fd) != 0 && errno != EINVAL) return FailWithErrno(FALSE);
        return TRUE;
    }
    // Every file's data is sent to the disk at once, then waited for file by file, so that each
    // file's own write errors are seen here as fsync would see them. One syncfs then commits the
    // metadata of all (sizes, allocations, names) and flushes the device's cache once.
    for (const Ref<File>& file : files)
        if (file->regular) sync_file_range(file->fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // errors show in the wait
    const unsigned wait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    for (const Ref<File>& file : files)
        if (file->regular && sync_file_range(file->fd, 0, 0, wait) != 0) return FailWithErrno(FALSE);
    if (syncfs(files.front()->fd) != 0) return FailWithErrno(FALSE);
    return TRUE;
}

KVAPI BOOL LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToLockLow,
                    DWORD nNumberOfBytesToLockHigh) {
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return FALSE;
    const uint64_t offset = (static_cast<uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    const uint64_t length = (static_cast<uint64_t>(nNumberOfBytesToLockHigh) << 32) | nNumberOfBytesToLockLow;
    // Ranges may reach 2^64 but not wrap; the kernel counts offsets in a signed 64-bit value,
    // so a range that starts beyond that cannot be expressed at all.
    if ((length != 0 && length - 1 > UINT64_MAX - offset) || offset > kLargestOffset) {
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    }

    std::lock_guard<std::mutex> guard(file->rangesLock);
    for (const LockedRange& held : file->ranges) {
        if (length && held.length && offset < held.offset + held.length && held.offset < offset + length) {
            return FailWith(ERROR_LOCK_VIOLATION, FALSE);
        }
    }
    if (length) {
        struct flock range = {};
        // An exclusive OFD lock needs a descriptor open for writing.
        range.l_type = file->writable ? F_WRLCK : F_RDLCK;
        range.l_whence = SEEK_SET;
        range.l_start = static_cast<off_t>(offset);
        range.l_len = length > kLargestOffset - offset ? 0 : static_cast<off_t>(length);  // 0: to the end of all
        if (fcntl(file->fd, F_OFD_SETLK, &range) != 0) {
            if (errno == EAGAIN || errno == EACCES) return FailWith(ERROR_LOCK_VIOLATION, FALSE);
            return FailWithErrno(FALSE);
        }
    }
    try {
        file->ranges.push_back({offset, length});
    } catch (const std::bad_alloc&) {
        struct flock range = {};
        range.l_type = F_UNLCK;
        range.l_whence = SEEK_SET;
        range.l_start = static_cast<off_t>(offset);
        range.l_len = length > kLargestOffset - offset ? 0 : static_cast<off_t>(length);
        if (length) fcntl(file->fd, F_OFD_SETLK, &range);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    }
    return TRUE;
}

KVAPI BOOL UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToUnlockLow,
                      DWORD nNumberOfBytesToUnlockHigh) {
    Ref<File> file = ReferenceHandleAs<File>(hFile, ObjectKind::File);
    if (!file) return FALSE;
    const uint64_t offset = (static_cast<uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    const uint64_t length = (static_cast<uint64_t>(nNumberOfBytesToUnlockHigh) << 32) | nNumberOfBytesToUnlockLow;
    std::lock_guard<std::mutex> guard(file->rangesLock);
    for (auto it = file->ranges.begin(); it != file->ranges.end(); ++it) {
        if (it->offset != offset || it->length != length) continue;
        if (length) {
            struct flock range = {};
            range.l_type = F_UNLCK;
            range.l_whence = SEEK_SET;
            range.l_start = static_cast<off_t>(offset);
            range.l_len = length > kLargestOffset - offset ? 0 : static_cast<off_t>(length);
            if (fcntl(file->fd, F_OFD_SETLK, &range) != 0) return FailWithErrno(FALSE);
        }
        file->ranges.erase(it);
        return TRUE;
    }
    return FailWith(ERROR_NOT_LOCKED, FALSE);
}

KVAPI BOOL DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName || !*lpFileName) return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
    if (unlink(lpFileName) != 0) return FailWithPathErrno(lpFileName, FALSE);
    return TRUE;
}

KVAPI BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    if (!lpPathName || !*lpPathName) return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
    if (mkdir(lpPathName, 0777) != 0) {
        if (errno == ENOENT) return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
        return FailWithErrno(FALSE);
    }
    int fd = open(lpPathName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        if (OpenToAllUsers(lpSecurityAttributes))
            SharedAccess::Restrict(fd, true);
        else
            SharedAccess::FollowFolder(fd, lpPathName);
        close(fd);
    }
    return TRUE;
}

KVAPI BOOL RemoveDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName || !*lpPathName) return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
    if (rmdir(lpPathName) == 0) return TRUE;
    if (errno == ENOTDIR) {
        struct stat status;
        if (lstat(lpPathName, &status) == 0 && !S_ISDIR(status.st_mode)) return FailWith(ERROR_DIRECTORY, FALSE);
        return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
    }
    if (errno == EEXIST) return FailWith(ERROR_DIR_NOT_EMPTY, FALSE);
    return FailWithPathErrno(lpPathName, FALSE);
}

KVAPI BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) return FailWith(ERROR_NOT_SUPPORTED, FALSE);
    if (!lpExistingFileName || !lpNewFileName || !*lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    struct stat source;
    if (lstat(lpExistingFileName, &source) != 0) return FailWithPathErrno(lpExistingFileName, FALSE);
    int rc;
    if (dwFlags & MOVEFILE_REPLACE_EXISTING) {
        struct stat target;
        // Windows replaces files, never folders.
        if (lstat(lpNewFileName, &target) == 0 && S_ISDIR(target.st_mode)) return FailWith(ERROR_ACCESS_DENIED, FALSE);
        rc = rename(lpExistingFileName, lpNewFileName);
    } else {
        rc = renameat2(AT_FDCWD, lpExistingFileName, AT_FDCWD, lpNewFileName, RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: check, then move (not atomic there).
            struct stat target;
            if (lstat(lpNewFileName, &target) == 0) return FailWith(ERROR_ALREADY_EXISTS, FALSE);
            rc = rename(lpExistingFileName, lpNewFileName);
        }
    }
    if (rc != 0) {
        if (errno == EEXIST && !(dwFlags & MOVEFILE_REPLACE_EXISTING)) return FailWith(ERROR_ALREADY_EXISTS, FALSE);
        if (errno == ENOENT || errno == ENOTDIR) return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
        return FailWithErrno(FALSE);
    }
    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        // The rename is durable once the folder that now holds the name is.
        std::string target = lpNewFileName;
        size_t slash = target.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
        int fd = OpenPath(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    return TRUE;
}

KVAPI DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    const char* folder = getenv("TMPDIR");
    std::string path = folder && *folder ? folder : "/tmp";
    if (path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd))) path = std::string(cwd) + "/" + path;
    }
    if (path.back() != '/') path += '/';
    // Too small: the size needed, terminator included, and the buffer is left alone.
    if (path.size() + 1 > nBufferLength) return static_cast<DWORD>(path.size() + 1);
    if (!lpBuffer) return FailWith(ERROR_INVALID_PARAMETER, DWORD(0));
    memcpy(lpBuffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

KVAPI HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFileName || !lpFindFileData) return FailWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string path = lpFileName;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
    if (pattern.empty()) return FailWith(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (pattern == "*.*") pattern = "*";

    if (!HasWildcards(pattern)) {
        struct stat status;
        if (stat(lpFileName, &status) != 0 && lstat(lpFileName, &status) != 0) {
            return FailWithPathErrno(lpFileName, INVALID_HANDLE_VALUE);
        }
        if (pattern.size() >= MAX_PATH) return FailWith(ERROR_FILENAME_EXCED_RANGE, INVALID_HANDLE_VALUE);
        FindSearch* search = new (std::nothrow) FindSearch(nullptr, pattern);
        if (!search) return FailWith(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
        HANDLE handle = InsertHandle(search);
        if (!handle) return INVALID_HANDLE_VALUE;
        FillFindData(pattern, status, lpFindFileData);
        return handle;
    }

    int fd = OpenPath(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return FailWith(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
        return FailWithErrno(INVALID_HANDLE_VALUE);
    }
    DIR* directory = fdopendir(fd);
    if (!directory) {
        ErrnoKeeper keep;
        close(fd);
        return FailWithErrno(INVALID_HANDLE_VALUE);
    }
    FindSearch* search = new (std::nothrow) FindSearch(directory, pattern);
    if (!search) {
        closedir(directory);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    }
    if (!search->Next(lpFindFileData)) {
        search->Release();
        return FailWith(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    HANDLE handle = InsertHandle(search);
    return handle ? handle : INVALID_HANDLE_VALUE;
}

KVAPI BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    Ref<FindSearch> search = ReferenceHandleAs<FindSearch>(hFindFile, ObjectKind::Find);
    if (!search) return FALSE;
    if (!lpFindFileData) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (!search->Next(lpFindFileData)) return FailWith(ERROR_NO_MORE_FILES, FALSE);
    return TRUE;
}

KVAPI BOOL FindClose(HANDLE hFindFile) { return RemoveHandle(hFindFile, ObjectKind::Find) ? TRUE : FALSE; }

KVAPI BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (!pSecurityDescriptor) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return FailWith(ERROR_UNKNOWN_REVISION, FALSE);
    SECURITY_DESCRIPTOR* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    memset(descriptor, 0, sizeof(*descriptor));
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

KVAPI BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                     BOOL bDaclDefaulted) {
    if (!pSecurityDescriptor) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    SECURITY_DESCRIPTOR* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return FailWith(ERROR_UNKNOWN_REVISION, FALSE);
    descriptor->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    descriptor->Dacl = nullptr;
    if (bDaclPresent) {
        descriptor->Control |= SE_DACL_PRESENT;
        descriptor->Dacl = pDacl;
        if (bDaclDefaulted) descriptor->Control |= SE_DACL_DEFAULTED;
    }
    return TRUE;
}

namespace {
std::atomic<LONG> gReopenGeneration{0};
}  // namespace

KVAPI void KvRequestFileReopen(void) { gReopenGeneration.fetch_add(1, std::memory_order_release); }

KVAPI LONG KvFileReopenGeneration(void) { return gReopenGeneration.load(std::memory_order_acquire); }
