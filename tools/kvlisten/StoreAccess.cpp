// StoreAccess.cpp -- whether the registry store this process uses exists and can be read, said in words.
#include "StoreAccess.h"

#ifndef _WIN32
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string UserName(uid_t uid) {
    struct passwd* entry = getpwuid(uid);
    return entry ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    struct group* entry = getgrgid(gid);
    return entry ? entry->gr_name : std::to_string(gid);
}

}  // namespace

StoreAccess::StoreAccess() {
    char path[4096] = "";
    if (KvRegGetStorePath(path, sizeof(path)) >= sizeof(path)) return;
    mPath = path;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return;
    }
    int error = errno;
    if (error == ENOENT) {
        mState = State::Missing;
        mProblem = "the registry store \"" + mPath + "\" does not exist";
        return;
    }
    mState = State::Unreadable;
    mProblem = "the registry store \"" + mPath + "\" cannot be read by user " + UserName(geteuid()) + ": " +
               strerror(error);
    struct stat status;
    if (stat(path, &status) == 0) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(status.st_mode & 07777));
        mProblem += " (it is user " + UserName(status.st_uid) + ", group " + GroupName(status.st_gid) + ", mode " +
                    mode + ")";
    }
}
#else
StoreAccess::StoreAccess() {}
#endif
