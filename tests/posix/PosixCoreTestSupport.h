// PosixCoreTestSupport.h -- helpers for the tests of the layer's POSIX-only behaviour.
#pragma once

#include <windows.h>

#include <dirent.h>
#include <unistd.h>

#include <string>

namespace kvposixtest {

// Open descriptors of this process, counted in /proc/self/fd (the directory's own excluded).
inline int OpenDescriptorCount() {
    DIR* directory = opendir("/proc/self/fd");
    if (!directory) return -1;
    int count = 0;
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count - 1;
}

// Waits for `handle` and returns its exit code; 0xFFFFFFFF if it did not end in time.
inline DWORD ExitCodeOf(HANDLE handle, DWORD timeoutMs = 30000) {
    DWORD code = 0xFFFFFFFFu;
    if (WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(handle, &code);
    return code;
}

}  // namespace kvposixtest
