// HResultError.h -- the exception that carries an HRESULT (allocation failures of strings).
#pragma once

#include <windows.h>

struct HResultError {
    HRESULT hr;
};

// Raises E_OUTOFMEMORY when an allocation came back null.
template <class T>
T* ThrowIfNull(T* allocated) {
    if (!allocated) throw HResultError{E_OUTOFMEMORY};
    return allocated;
}
