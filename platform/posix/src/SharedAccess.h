// SharedAccess.h -- who may use the files and named objects that are shared between processes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace kvposix {

// Windows opens a log file or a named mutex to "everyone" with a null DACL. Here that would let
// any local user write into the log's mutex and stall or silence every listener, so shared
// means: the user that made it and the component's group ("kvlumen", or the group named by
// KVLUMEN_GROUP), never others. Without that group (or membership in it) only the owner.
class SharedAccess {
public:
    // The component's group, or (gid_t)-1 when it does not exist.
    static gid_t Group();

    // Gives a file or folder this process just created to the component's group with read and
    // write for owner and group (folders also setgid, so that what is made inside stays in the
    // group); where the group cannot be given, to the owner alone. False with errno set when
    // even that fails.
    static bool Restrict(int fd, bool folder);

    // Windows gives a new file the inheritable access list of its folder. The nearest thing here:
    // in a folder shared with its group (setgid), a file or folder this process just made at
    // `path` gets the folder's group access (read, write; search for folders) and nothing for
    // others that the folder denies them, so that a file one member made another can update,
    // and a consumer in the group can read.
    static void FollowFolder(int fd, const char* path);

    // Whether an existing shared object's file may be trusted: made by this user, by root, or by
    // a member of the component's group, and writable by nobody else. A file that fails this was
    // planted by someone outside.
    static bool Trusted(const struct stat& status);

    // "user root, group kvlumen, mode 0660", for messages about a file.
    static std::string Describe(const struct stat& status);
};

}  // namespace kvposix
