// UniqueHandle.h -- one move-only owner per kind of handle: closed by its own close function, never by hand.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

// A kind of handle is its type, the value that means "none" and how one is closed. Closing keeps
// the thread's last-error values, so that a cleanup on an error path never hides the error.
template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : mValue(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : mValue(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const { return mValue; }
    bool valid() const { return !Traits::IsNone(mValue); }
    explicit operator bool() const { return valid(); }

    // Closes what is held (if anything) and holds `value` instead.
    void reset(Type value = Traits::None()) {
        Type old = mValue;
        mValue = value;
        if (!Traits::IsNone(old)) {
            DWORD error = GetLastError();
            int socketError = WSAGetLastError();
            Traits::Close(old);
            WSASetLastError(socketError);
            SetLastError(error);
        }
    }
    // Gives up ownership without closing.
    Type release() {
        Type value = mValue;
        mValue = Traits::None();
        return value;
    }
    // The slot for a call that stores a new handle; what was held is closed first.
    Type* put() {
        reset();
        return &mValue;
    }

private:
    Type mValue = Traits::None();
};

namespace handle_traits {

struct Kernel {  // events, threads, mutexes, processes: null means none
    using Type = HANDLE;
    static Type None() { return nullptr; }
    static bool IsNone(Type h) { return h == nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

struct File {  // CreateFile's handles: INVALID_HANDLE_VALUE means none (null too, never opened)
    using Type = HANDLE;
    static Type None() { return INVALID_HANDLE_VALUE; }
    static bool IsNone(Type h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

struct Socket {
    using Type = SOCKET;
    static Type None() { return INVALID_SOCKET; }
    static bool IsNone(Type s) { return s == INVALID_SOCKET; }
    static void Close(Type s) { closesocket(s); }
};

struct RegistryKey {
    using Type = HKEY;
    static Type None() { return nullptr; }
    static bool IsNone(Type k) { return k == nullptr; }
    static void Close(Type k) { RegCloseKey(k); }
};

struct Module {
    using Type = HMODULE;
    static Type None() { return nullptr; }
    static bool IsNone(Type m) { return m == nullptr; }
    static void Close(Type m) { FreeLibrary(m); }
};

struct Bstr {
    using Type = BSTR;
    static Type None() { return nullptr; }
    static bool IsNone(Type b) { return b == nullptr; }
    static void Close(Type b) { SysFreeString(b); }
};

struct AddressList {
    using Type = addrinfo*;
    static Type None() { return nullptr; }
    static bool IsNone(Type a) { return a == nullptr; }
    static void Close(Type a) { freeaddrinfo(a); }
};

}  // namespace handle_traits

using UniqueHandle = UniqueResource<handle_traits::Kernel>;
using UniqueFile = UniqueResource<handle_traits::File>;
using UniqueSocket = UniqueResource<handle_traits::Socket>;
using UniqueRegKey = UniqueResource<handle_traits::RegistryKey>;
using UniqueModule = UniqueResource<handle_traits::Module>;
using UniqueBstr = UniqueResource<handle_traits::Bstr>;
using UniqueAddressList = UniqueResource<handle_traits::AddressList>;
