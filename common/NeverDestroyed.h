// NeverDestroyed.h -- a static object that is built at load and never destroyed.
#pragma once

#include <new>
#include <utility>

// For state that threads the process does not wait for (connection handlers) may still use while
// the process exits and runs its static destructors. The object lives in the module's own
// storage, so it goes away with the module and nothing is left allocated.
template <class T>
class NeverDestroyed {
public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {
        new (mStorage) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    T& get() { return *std::launder(reinterpret_cast<T*>(mStorage)); }

private:
    alignas(T) unsigned char mStorage[sizeof(T)];
};
