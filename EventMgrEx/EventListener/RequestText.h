// RequestText.h -- a request's bytes as they arrive, received straight into their own storage: no buffer on the handler's stack, no copy.
#pragma once

#include <stddef.h>

#include <string>

// Always followed by a NUL (so that it reads as a C string up to its first NUL byte). Grows by
// doubling up to a bound, or to a size reserved at once.
class RequestText {
public:
    RequestText() = default;
    ~RequestText() { Release(); }
    RequestText(const RequestText&) = delete;
    RequestText& operator=(const RequestText&) = delete;

    const char* data() const { return mData ? mData : ""; }
    const char* c_str() const { return data(); }
    size_t size() const { return mSize; }
    size_t capacity() const { return mCapacity; }
    bool empty() const { return mSize == 0; }
    std::string substr(size_t offset, size_t length) const;

    // Room for `want` more bytes at the end (and the NUL after them): growing to twice the
    // capacity, but never past `bound`, and never to less than what is wanted. Null when memory
    // ran out; `*room` is then 0.
    char* Room(size_t want, size_t bound, size_t* room);
    // `got` bytes were written into the room.
    void Grew(size_t got);
    // Storage for `total` bytes at once (a declared length). False when memory ran out.
    bool Reserve(size_t total);
    void Release();

private:
    bool Resize(size_t capacity);
    char* mData = nullptr;
    size_t mSize = 0;
    size_t mCapacity = 0;  // bytes, not counting the NUL's
};
