// registry_watch.cpp -- inotify watches that tell the registry store its file is unchanged.
#include "RegistryWatch.h"

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace kvreg {

namespace {

// File systems whose files other machines change without this kernel hearing of it.
bool IsNetworkFileSystem(long type) {
    switch (static_cast<unsigned long>(type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and the like)
    case 0x00C36400:  // Ceph
    case 0x01021997:  // 9P
    case 0x5346414F:  // AFS
    case 0x01161970:  // GFS2
    case 0x7461636F:  // OCFS2
        return true;
    default:
        return false;
    }
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Everything that changes what the file holds or which file the path names. Opening and
// reading (our own reads included) are not among them.
const uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
const uint32_t kFolderEvents = kFileEvents | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

}  // namespace

RegistryWatch::~RegistryWatch() { Disarm(); }

void RegistryWatch::Disarm() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
    mPath.clear();
}

bool RegistryWatch::Arm(const std::string& path) {
    Disarm();
    std::string folder = FolderOf(path);
    struct statfs fs;
    if (statfs(folder.c_str(), &fs) != 0 || IsNetworkFileSystem(fs.f_type)) return false;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return false;
    // The folder sees the file replaced, created or removed; the file itself (followed through a
    // link, if the path is one) sees edits in place, also where it lives in another folder.
    if (inotify_add_watch(fd, folder.c_str(), kFolderEvents) < 0) {
        close(fd);
        return false;
    }
    inotify_add_watch(fd, path.c_str(), kFileEvents);  // no file yet: its creation shows in the folder
    mFd = fd;
    mPath = path;
    return true;
}

bool RegistryWatch::Quiet(const std::string& path) const {
    if (mFd < 0 || path != mPath) return false;
    int pending = 0;
    return ioctl(mFd, FIONREAD, &pending) == 0 && pending == 0;
}

}  // namespace kvreg
