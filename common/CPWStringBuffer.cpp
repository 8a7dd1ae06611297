// CPWStringBuffer.cpp -- the growable wide string with slack at both ends, stored in a COM string or a heap array.
#include "CPWStringBuffer.h"

#include "ByteText.h"

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include <new>
#include <string>

namespace {

// Far below what either platform could allocate, and small enough that a capacity plus the
// terminator, in bytes, fits a COM string's 32-bit length field.
const UINT kMaxCapacity = 0x7FFFFFF0u / sizeof(WCHAR) - 1;

// The capacity for a text of `refsize` characters; false when it would be beyond kMaxCapacity.
// Small texts get at least 32 characters or twice their size, large ones a little under 512
// more, computed in floating point as it always has been so that every size keeps its capacity.
bool CapacityFor(UINT refsize, bool grow, UINT* capacity) {
    double wanted;
    if (!grow)
        wanted = refsize;
    else if (refsize < 256)
        wanted = refsize * 2 < 32 ? 32 : refsize * 2;
    else
        wanted = refsize * (1.0 / ((refsize + 256.0) * 0.001953125) + 1.0);
    if (wanted > kMaxCapacity) return false;
    *capacity = static_cast<UINT>(wanted);
    return true;
}

void MoveChars(WCHAR* to, const WCHAR* from, size_t count) { memmove(to, from, count * sizeof(WCHAR)); }

}  // namespace

WCHAR* CPWComStorage::Allocate(UINT count) { return SysAllocStringLen(nullptr, count); }
void CPWComStorage::Release(WCHAR* storage) { SysFreeString(storage); }

WCHAR* CPWHeapStorage::Allocate(UINT count) { return new (std::nothrow) WCHAR[size_t(count) + 1]; }
void CPWHeapStorage::Release(WCHAR* storage) { delete[] storage; }

template <class Storage>
struct CPWStringBufferT<Storage>::Accessor {
    ULONG_PTR (*get)(CPWStringBufferT& self);
    void (*set)(CPWStringBufferT& self, ULONG_PTR value);
};

template <class Storage>
const typename CPWStringBufferT<Storage>::Accessor CPWStringBufferT<Storage>::kAccessors[kAccessorCount] = {
    {nullptr, nullptr},  // 0 names no property
    {&CPWStringBufferT::propertyLength, nullptr},
    {&CPWStringBufferT::propertyCapacity, nullptr},
    {&CPWStringBufferT::propertyBuffer, nullptr},
    {&CPWStringBufferT::propertyText, nullptr},
    {&CPWStringBufferT::propertyText, nullptr},
    {&CPWStringBufferT::propertyUserValue, &CPWStringBufferT::setPropertyUserValue},
    {&CPWStringBufferT::propertyOffset, &CPWStringBufferT::setPropertyOffset},
    {&CPWStringBufferT::propertyDetach, nullptr},
};

template <class Storage>
ULONG_PTR CPWStringBufferT<Storage>::GetProperty(BYTE id) {
    if (id >= kAccessorCount) throw -1;
    const Accessor& accessor = kAccessors[id];
    if (!accessor.get) throw -1;
    return accessor.get(*this);
}

template <class Storage>
void CPWStringBufferT<Storage>::SetProperty(BYTE id, ULONG_PTR value) {
    if (id >= kAccessorCount) throw -1;
    const Accessor& accessor = kAccessors[id];
    if (!accessor.set) throw -1;
    accessor.set(*this, value);
}

template <class Storage>
WCHAR* CPWStringBufferT<Storage>::Allocate(UINT refsize, bool grow) {
    return allocate(refsize, grow, true);
}

template <class Storage>
WCHAR* CPWStringBufferT<Storage>::allocate(UINT refsize, bool grow, bool clear) {
    Free();
    UINT capacity = 0;
    if (CapacityFor(refsize, grow, &capacity)) mBuffer = Storage::Allocate(capacity);
    if (mBuffer) {
        if (clear) {
            // All of it zeroed: no character of the storage is ever read before it was written,
            // whatever offset a caller sets.
            memset(mBuffer, 0, (size_t(capacity) + 1) * sizeof(WCHAR));
        } else {
            mBuffer[0] = 0;
            mBuffer[capacity] = 0;
        }
        mCapacity = capacity;
        SetOffset((capacity - refsize) / 2);
        UINT offset = GetOffset();
        mBuffer[offset] = 0;
        if (offset == 0 && capacity >= 1) mBuffer[1] = 0;
    }
    KVLOG(6, "CPWStringBuffer::Allocate - refsize=%d | mBuffer=%X | mCapacity=%d | mOffset=%d", int(refsize),
          unsigned(reinterpret_cast<uintptr_t>(mBuffer)), int(mCapacity), int(mOffset));
    return mBuffer;
}

template <class Storage>
int CPWStringBufferT<Storage>::SetOffset(UINT value) {
    if (value > kMaxOffset) value = kMaxOffset;
    UINT capacity = GetCapacity();
    if (value > capacity) value = capacity;
    if (value > 1 && mBuffer && capacity >= 3) {
        mBuffer[0] = 0;
        mBuffer[1] = static_cast<WCHAR>(value);
        mOffset = value;
    } else {
        mOffset = 0;
        // Without this, a stale offset in character 1 would be read back for an empty text.
        if (mBuffer && mBuffer[0] == 0 && capacity >= 1) mBuffer[1] = 0;
    }
    KVLOG(6, "CPWStringBuffer::SetOffset - mOffset=%d", int(mOffset));
    return 0;
}

template <class Storage>
UINT CPWStringBufferT<Storage>::GetOffset() {
    UINT capacity = GetCapacity();
    mOffset = 0;
    if (mBuffer && mBuffer[0] == 0 && capacity >= 3) {
        // Storage written by someone else may hold anything there; the text never starts past
        // the terminator slot.
        UINT stored = static_cast<UINT>(mBuffer[1]);
        mOffset = stored > capacity ? capacity : stored;
    }
    return mOffset;
}

template <class Storage>
UINT CPWStringBufferT<Storage>::GetCapacity() {
    if (!mBuffer) return 0;
    if (mCapacity == 0) mCapacity = static_cast<UINT>(wcslen(mBuffer));
    return mCapacity;
}

template <class Storage>
UINT CPWStringBufferT<Storage>::GetLength() {
    return mBuffer ? static_cast<UINT>(wcslen(mBuffer + GetOffset())) : 0;
}

template <class Storage>
WCHAR* CPWStringBufferT<Storage>::GetText() {
    return mBuffer ? mBuffer + GetOffset() : nullptr;
}

template <class Storage>
bool CPWStringBufferT<Storage>::insideStorage(const WCHAR* text) {
    if (!mBuffer) return false;
    uintptr_t at = reinterpret_cast<uintptr_t>(text);
    uintptr_t begin = reinterpret_cast<uintptr_t>(mBuffer);
    return at >= begin && at <= begin + size_t(GetCapacity()) * sizeof(WCHAR);
}

template <class Storage>
WCHAR* CPWStringBufferT<Storage>::takeStorage() {
    WCHAR* storage = mBuffer;
    mBuffer = nullptr;
    mCapacity = 0;
    mOffset = 0;
    return storage;
}

template <class Storage>
CPWStringBufferT<Storage>& CPWStringBufferT<Storage>::Assign(const WCHAR* text, bool centre) {
    if (!text) {
        Erase(0, -1);
        return *this;
    }
    // A text taken from this very storage would be overwritten (or freed) while it is copied.
    std::basic_string<WCHAR> own;
    if (insideStorage(text)) text = (own = text).c_str();
    UINT n = static_cast<UINT>(wcslen(text));
    if (mBuffer && GetCapacity() > n)
        mBuffer[0] = 0;
    else if (!Allocate(n, true))
        return *this;
    SetOffset(centre ? (GetCapacity() - n) / 2 : 0);
    MoveChars(mBuffer + GetOffset(), text, size_t(n) + 1);
    return *this;
}


template <class Storage>
CPWStringBufferT<Storage>& CPWStringBufferT<Storage>::AssignNarrow(const char* text, bool centre) {
    if (!text || !*text) {
        Erase(0, -1);
        return *this;
    }
    // Byte by byte, as the Windows runtime's C locale widens: every byte value arrives as the
    // character of the same value, 0x80 and above included.
    size_t length = strlen(text);
    if (length >= kMaxCapacity) {
        Free();
        return *this;
    }
    UINT n = static_cast<UINT>(length) + 1;
    bool fresh = !(mBuffer && GetCapacity() > n);
    if (fresh && !allocate(n, true, false)) return *this;
    UINT capacity = GetCapacity();
    SetOffset(centre ? (capacity - n) / 2 : 0);
    UINT offset = GetOffset();
    size_t room = capacity - offset;
    size_t count = length < room ? length : room;
    WCHAR* to = mBuffer + offset;
    WidenBytes(text, count, to);
    to[count] = 0;
    if (fresh) {
        // New storage is written once: what the text leaves free is cleared here, as Allocate
        // would have cleared all of it first (a large message would pay for that twice).
        if (offset > 2) memset(mBuffer + 2, 0, size_t(offset - 2) * sizeof(WCHAR));
        memset(to + count + 1, 0, (size_t(capacity) - offset - count) * sizeof(WCHAR));
    }
    return *this;
}

template <class Storage>
CPWStringBufferT<Storage>& CPWStringBufferT<Storage>::Append(const WCHAR* text) {
    if (!text) return *this;
    if (!mBuffer) return Assign(text, true);
    std::basic_string<WCHAR> own;
    if (insideStorage(text)) text = (own = text).c_str();
    UINT length = GetLength();
    UINT added = static_cast<UINT>(wcslen(text));
    UINT total = length + added;
    UINT capacity = GetCapacity();
    UINT offset = GetOffset();
    if (total >= capacity) {
        WCHAR* old = takeStorage();
        if (!Allocate(total, true)) {
            Storage::Release(old);
            return *this;
        }
        UINT oldOffset = offset;
        offset = GetOffset();
        MoveChars(mBuffer + offset, old + oldOffset, length);
        mBuffer[offset + length] = 0;
        Storage::Release(old);
    } else if (offset != 0 && total >= capacity - offset) {
        SetOffset((capacity - total) / 2);
        UINT moved = GetOffset();
        MoveChars(mBuffer + moved, mBuffer + offset, size_t(length) + 1);
        offset = moved;
    }
    MoveChars(mBuffer + offset + length, text, size_t(added) + 1);
    return *this;
}

template <class Storage>
bool CPWStringBufferT<Storage>::Insert(const WCHAR* text, UINT position, UINT count) {
    if (!text || !*text) return false;
    std::basic_string<WCHAR> own;
    if (insideStorage(text)) text = (own = text).c_str();
    UINT textLength = static_cast<UINT>(wcslen(text));
    UINT k = (count == 0 || count > textLength) ? textLength : count;

    if (!mBuffer) {
        if (!Allocate(k, true)) return false;
        WCHAR* to = GetText();
        MoveChars(to, text, k);
        to[k] = 0;
        return true;
    }
    UINT length = GetLength();
    UINT capacity = GetCapacity();
    UINT offset = GetOffset();
    if (length == 0 && capacity > k) {
        SetOffset((capacity - k) / 2);
        WCHAR* to = GetText();
        MoveChars(to, text, k);
        to[k] = 0;
        return true;
    }
    if (position >= length) {
        if (capacity - length - offset > k) {
            WCHAR* to = mBuffer + offset + length;
            MoveChars(to, text, k);
            to[k] = 0;
            return true;
        }
        Append(text);
        if (!mBuffer) return false;
        GetText()[length + k] = 0;
        return true;
    }
    if (length + k + 2 >= capacity) {
        WCHAR* old = takeStorage();
        if (!Allocate(length + k, true)) {
            Storage::Release(old);
            return false;
        }
        WCHAR* to = GetText();
        const WCHAR* from = old + offset;
        MoveChars(to, from, position);
        MoveChars(to + position, text, k);
        MoveChars(to + position + k, from + position, size_t(length - position) + 1);
        Storage::Release(old);
        return true;
    }

    // Room inside the storage: move the side that has the room, the shorter one when both do.
    bool frontFits = offset != 0 && offset - 1 > k;
    bool backFits = capacity - offset - length > k;
    bool moveFront = frontFits;
    bool moveBack = backFits;
    if (frontFits && backFits) {
        moveFront = position <= length / 2;
        moveBack = !moveFront;
    } else if (!frontFits && !backFits) {
        moveFront = moveBack = true;
    }
    UINT newOffset = offset;
    if (moveFront) {
        SetOffset(offset < k ? 0 : offset - k);
        newOffset = GetOffset();
        MoveChars(mBuffer + newOffset, mBuffer + offset, position);
    }
    WCHAR* insertAt = mBuffer + newOffset + position;
    if (moveBack) MoveChars(insertAt + k, mBuffer + offset + position, size_t(length - position) + 1);
    MoveChars(insertAt, text, k);
    return true;
}

template <class Storage>
bool CPWStringBufferT<Storage>::Erase(LONG first, LONG last) {
    if (!mBuffer || first < 0) return false;
    UINT length = GetLength();
    if (UINT(first) >= length || (last != -1 && last < first)) return false;
    uint64_t end = last == -1 ? UINT64_MAX : uint64_t(last) + 1;
    UINT capacity = GetCapacity();
    UINT offset = GetOffset();

    if (first == 0) {
        if (end >= capacity - offset || end >= length) {
            // Cleared: a third of the storage stays in front, for prepending.
            SetOffset(capacity / 3);
            UINT cleared = GetOffset();
            mBuffer[cleared] = 0;
            if (cleared == 0 && capacity >= 1) mBuffer[1] = 0;
        } else if (offset + end == 1) {
            MoveChars(mBuffer, mBuffer + 1, length);
        } else {
            UINT start = offset + UINT(end);
            if (start <= kMaxOffset) {
                SetOffset(start);  // the erased characters simply join the front gap
            } else {
                // The gap would outgrow what character 1 can record: the rest moves down.
                SetOffset(kMaxOffset);
                MoveChars(mBuffer + kMaxOffset, mBuffer + start, size_t(length - end) + 1);
            }
        }
        return true;
    }

    if (end >= length) {
        mBuffer[offset + first] = 0;
        return true;
    }
    UINT removed = UINT(end) - UINT(first);
    if (length - end > UINT(first) && !(offset == 0 && removed <= 2) && offset + removed <= kMaxOffset) {
        // The part in front is the shorter one: it moves up, and the gap in front grows.
        MoveChars(mBuffer + offset + removed, mBuffer + offset, UINT(first));
        SetOffset(offset + removed);
    } else {
        MoveChars(mBuffer + offset + first, mBuffer + offset + end, size_t(length - end) + 1);
    }
    return true;
}

template <class Storage>
WCHAR* CPWStringBufferT<Storage>::Compact() {
    if (mBuffer && mBuffer[0] == 0) {
        UINT offset = GetOffset();
        if (offset != 0) {
            MoveChars(mBuffer, mBuffer + offset, size_t(GetLength()) + 1);
            SetOffset(0);
        }
    }
    return mBuffer;
}

template <class Storage>
void CPWStringBufferT<Storage>::freeNarrow() {
    delete[] mNarrow;
    mNarrow = nullptr;
}

template <class Storage>
const char* CPWStringBufferT<Storage>::GetMultiByte(const char* fallback) {
    if (!mBuffer || GetLength() == 0) {
        freeNarrow();
        return fallback;
    }
    const WCHAR* text = GetText();
    int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        CPWStringBufferAssertionFailed("mbstrRequired");
        freeNarrow();
        return fallback;
    }
    // The cache: 4 bytes with its usable size, then the text.
    UINT usable = 0;
    if (mNarrow) memcpy(&usable, mNarrow, sizeof(usable));
    if (!mNarrow || usable <= UINT(needed)) {
        freeNarrow();
        usable = UINT(needed) + 32;
        mNarrow = new (std::nothrow) char[size_t(usable) + sizeof(usable)];
        if (!mNarrow) return fallback;
        memcpy(mNarrow, &usable, sizeof(usable));
    }
    char* converted = mNarrow + sizeof(usable);
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, converted, int(usable), nullptr, nullptr) <= 0) {
        freeNarrow();
        return fallback;
    }
    return converted;
}

template <class Storage>
void CPWStringBufferT<Storage>::Free() {
    if (mBuffer) {
        GetCapacity();
        Storage::Release(mBuffer);
    }
    freeNarrow();
    mCapacity = 0;
    mBuffer = nullptr;
    mOffset = 0;
    mUserValue = 0;
}

template <class Storage>
WCHAR* CPWStringBufferT<Storage>::Detach() {
    WCHAR* storage = takeStorage();
    freeNarrow();
    mUserValue = 0;
    return storage;
}

template <class Storage>
void CPWStringBufferT<Storage>::Attach(WCHAR* storage) {
    Free();
    mBuffer = storage;
}

template <class Storage>
WCHAR** CPWStringBufferT<Storage>::Put() {
    Free();
    return &mBuffer;
}

template class CPWStringBufferT<CPWComStorage>;
template class CPWStringBufferT<CPWHeapStorage>;
