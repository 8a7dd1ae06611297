// Win32Error.h -- the last-error helpers every family of the layer fails through.
#pragma once

#include <windows.h>

#include <errno.h>

namespace kvposix {

// The Win32 error closest to a POSIX errno value.
DWORD Win32ErrorFromErrno(int error);

// Sets the last error and returns `result`, so that a failure path reads as one statement.
template <class T>
inline T FailWith(DWORD error, T result) {
    SetLastError(error);
    return result;
}

// The same, from the current errno.
template <class T>
inline T FailWithErrno(T result) {
    SetLastError(Win32ErrorFromErrno(errno));
    return result;
}

// Keeps errno across cleanup calls (close, unlink) on a failure path.
class ErrnoKeeper {
public:
    ErrnoKeeper() : mSaved(errno) {}
    ~ErrnoKeeper() { errno = mSaved; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int mSaved;
};

}  // namespace kvposix
