// StoreAccess.h -- whether the registry store this process uses exists and can be read, said in words.
#pragma once

#include <string>

// The POSIX layer treats a missing store as an empty registry and one it may not read as a
// failed lookup, so "not registered" and "key not found" would hide the real cause. The tools
// ask here first. (Windows has no such file: there every answer is empty.)
class StoreAccess {
public:
    enum class State { Readable, Missing, Unreadable };

    // Looks at the store in effect now (KVLUMEN_REGISTRY, --registry, or the machine's).
    StoreAccess();

    State state() const { return mState; }
    const std::string& path() const { return mPath; }

    // "the registry store "/etc/kvlumen/registry.reg" does not exist", or "... cannot be read by
    // user kvlumen: Permission denied (it is user root, group root, mode 0600)"; empty when it
    // is readable.
    const std::string& problem() const { return mProblem; }

private:
    State mState = State::Readable;
    std::string mPath;
    std::string mProblem;
};
