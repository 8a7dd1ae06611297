// RequestText.cpp -- a request's bytes as they arrive, received straight into their own storage.
#include "RequestText.h"

#include <stdlib.h>

std::string RequestText::substr(size_t offset, size_t length) const {
    if (offset > mSize) return std::string();
    if (length > mSize - offset) length = mSize - offset;
    return std::string(data() + offset, length);
}

bool RequestText::Resize(size_t capacity) {
    char* grown = static_cast<char*>(realloc(mData, capacity + 1));
    if (!grown) return false;
    mData = grown;
    mCapacity = capacity;
    mData[mSize] = '\0';
    return true;
}

char* RequestText::Room(size_t want, size_t bound, size_t* room) {
    *room = 0;
    if (mCapacity - mSize < want) {
        size_t doubled = mCapacity * 2 < bound ? mCapacity * 2 : bound;
        size_t needed = mSize + want;
        if (!Resize(doubled > needed ? doubled : needed)) return nullptr;
    }
    *room = mCapacity - mSize;
    return mData + mSize;
}

void RequestText::Grew(size_t got) {
    mSize += got;
    mData[mSize] = '\0';
}

bool RequestText::Reserve(size_t total) { return total <= mCapacity || Resize(total); }

void RequestText::Release() {
    free(mData);
    mData = nullptr;
    mSize = mCapacity = 0;
}
