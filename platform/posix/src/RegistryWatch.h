// RegistryWatch.h -- tells, without looking at the registry file, that nothing happened to it.
#pragma once

#include <string>

namespace kvreg {

// Kernel watches (inotify) on the store file and on its folder. Once armed, Quiet() answers with
// one system call, and no look at the file, whether anything at all happened to the file or in
// its folder since: a write by another process, a rename over the file, an edit in place, a
// change of its times or permissions. Where the kernel cannot tell (no inotify to be had, a
// network file system whose other clients it cannot see, no folder yet) the watch stays
// unarmed and is never quiet, so the file is looked at every time.
class RegistryWatch {
public:
    RegistryWatch() = default;
    ~RegistryWatch();
    RegistryWatch(const RegistryWatch&) = delete;
    RegistryWatch& operator=(const RegistryWatch&) = delete;

    // Watches the file at `path` from now on, dropping what was watched before (and what it
    // had seen); false when it cannot. Arm before looking at the file: a change made between
    // the look and the arming would otherwise go unseen.
    bool Arm(const std::string& path);
    void Disarm();
    // True when armed for `path` and nothing has happened since it was armed. Safe to call
    // from any number of threads while nobody arms or disarms.
    bool Quiet(const std::string& path) const;

private:
    int mFd = -1;
    std::string mPath;
};

}  // namespace kvreg
