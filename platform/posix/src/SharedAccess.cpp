// SharedAccess.cpp -- who may use the files and named objects that are shared between processes.
#include "SharedAccess.h"

#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace kvposix {

namespace {

const char kDefaultGroup[] = "kvlumen";

std::string UserName(uid_t uid) {
    std::vector<char> buffer(4096);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(4096);
    struct group entry;
    struct group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
    return std::to_string(gid);
}

}  // namespace

gid_t SharedAccess::Group() {
    const char* name = getenv("KVLUMEN_GROUP");
    if (!name || !*name) name = kDefaultGroup;
    std::vector<char> buffer(16384);
    struct group entry;
    struct group* found = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return static_cast<gid_t>(-1);
    return found->gr_gid;
}

bool SharedAccess::Restrict(int fd, bool folder) {
    const gid_t group = Group();
    // fchown to a group succeeds for root and for the group's members only.
    if (group != static_cast<gid_t>(-1) && fchown(fd, static_cast<uid_t>(-1), group) == 0) {
        return fchmod(fd, folder ? 02770 : 0660) == 0;
    }
    return fchmod(fd, folder ? 0700 : 0600) == 0;
}

void SharedAccess::FollowFolder(int fd, const char* path) {
    std::string folder(path);
    size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    struct stat parent, made;
    if (stat(folder.c_str(), &parent) != 0 || !(parent.st_mode & S_ISGID) || fstat(fd, &made) != 0) return;
    const mode_t groupBits = parent.st_mode & (S_ISDIR(made.st_mode) ? 070 : 060);
    const mode_t otherBits = made.st_mode & parent.st_mode & 07;
    const mode_t wanted = (made.st_mode & 07700) | groupBits | otherBits;
    if (wanted != (made.st_mode & 07777)) fchmod(fd, wanted);
}

bool SharedAccess::Trusted(const struct stat& status) {
    if (status.st_mode & (S_IWOTH | S_IROTH | S_IXOTH)) return false;
    if (status.st_uid == geteuid() || status.st_uid == 0) return true;
    const gid_t group = Group();
    return group != static_cast<gid_t>(-1) && status.st_gid == group;
}

std::string SharedAccess::Describe(const struct stat& status) {
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return "user " + UserName(status.st_uid) + ", group " + GroupName(status.st_gid) + ", mode " + mode;
}

}  // namespace kvposix
