// Security.h -- what a SECURITY_ATTRIBUTES argument means for POSIX permissions.
#pragma once

#include <windows.h>

namespace kvposix {

// A descriptor with no DACL, or with a null DACL, grants everyone full access on Windows; here
// it makes the file or folder its maker's and the component's group's (SharedAccess).
inline bool OpenToAllUsers(const SECURITY_ATTRIBUTES* attributes) {
    if (!attributes || !attributes->lpSecurityDescriptor) return false;
    const SECURITY_DESCRIPTOR* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return false;
    return (descriptor->Control & SE_DACL_PRESENT) == 0 || descriptor->Dacl == nullptr;
}

inline bool Inheritable(const SECURITY_ATTRIBUTES* attributes) {
    return attributes && attributes->bInheritHandle;
}

}  // namespace kvposix
