// CPWStringBuffer.h -- the growable wide string with slack at both ends, stored in a COM string or a heap array.
//
// The text sits inside the storage at an offset, with free room in front and behind, so that
// erasing a prefix, prepending and inserting near either end move little or nothing. When the
// offset is 2 or more the storage starts with a header: character 0 is NUL (so the storage
// read from its start is an empty string) and character 1 holds the offset, which is why the
// offset is always read back from the storage and never exceeds 65535.
//
// Two storage variants behave alike: CPWStringBuffer keeps its storage in a COM string whose
// length is the capacity, ready to be handed to a COM call after Compact; CPWHeapStringBuffer
// keeps it in an ordinary array. Either way the storage has one character more than the
// capacity, always NUL, so that no text and no offset can ever reach past it.
//
// Part of the state is also reachable as numbered properties (GetProperty / SetProperty); an
// access that the property has no accessor for throws the int -1.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "Logging.h"

// The ANSI conversion reports a text it cannot size as the assertion it stands for, naming
// this header and this line.
inline void CPWStringBufferAssertionFailed(const char* expression) {
    KVLOG(1, "Assertion failed: %s, file %s, line %d", expression, __FILE__, __LINE__);
}

// Storage of the COM-string variant: SysAllocStringLen gives `count` characters plus the
// terminator behind them, and a length field of `count`.
struct CPWComStorage {
    static WCHAR* Allocate(UINT count);
    static void Release(WCHAR* storage);
};

// Storage of the heap variant: the same `count` characters plus one for the terminator.
struct CPWHeapStorage {
    static WCHAR* Allocate(UINT count);
    static void Release(WCHAR* storage);
};

template <class Storage>
class CPWStringBufferT {
public:
    // The numbered properties (see GetProperty).
    enum PropertyId : BYTE {
        PropLength = 1,
        PropCapacity = 2,
        PropBuffer = 3,
        PropText = 4,
        PropTextAlias = 5,
        PropUserValue = 6,
        PropOffset = 7,
        PropDetach = 8,
    };
    static constexpr UINT kMaxOffset = 65535;

    CPWStringBufferT() = default;
    ~CPWStringBufferT() { Free(); }
    CPWStringBufferT(const CPWStringBufferT&) = delete;
    CPWStringBufferT& operator=(const CPWStringBufferT&) = delete;

    // Replaces the storage by room for a text of `refsize` characters (with slack when `grow`),
    // the text empty and centred. Null when the allocation failed; the object is then empty.
    WCHAR* Allocate(UINT refsize, bool grow);
    // Records where the text begins; never moves text. Values above 65535 are clamped, 1 is
    // never stored (0 instead), nor anything past the storage. Returns 0.
    int SetOffset(UINT value);
    UINT GetOffset();
    UINT GetLength();
    // The capacity; for storage placed from outside, the length of the string at its start.
    UINT GetCapacity();
    WCHAR* GetBuffer() const { return mBuffer; }
    WCHAR* GetText();
    LONG GetUserValue() const { return mUserValue; }
    void SetUserValue(LONG value) { mUserValue = value; }

    // Copies `text`; null clears. With `centre` the slack is split between front and back.
    CPWStringBufferT& Assign(const WCHAR* text, bool centre = true);
    // Widens `text` up to its first NUL, each byte to the character of the same value. With
    // `centre` the slack is split between front and back; without, the text starts the storage,
    // as Compact would leave it.
    CPWStringBufferT& AssignNarrow(const char* text, bool centre = true);
    CPWStringBufferT& Append(const WCHAR* text);
    // Inserts the first `count` characters of `text` (all for 0) before character `position`;
    // a position at or past the end appends.
    bool Insert(const WCHAR* text, UINT position, UINT count = 0);
    // Removes the characters `first` to `last` inclusive; -1 for `last` means to the end.
    bool Erase(LONG first, LONG last = -1);
    // Moves the text to the start of the storage and returns the storage.
    WCHAR* Compact();
    // The text in the ANSI code page, valid until the next conversion or change of storage;
    // `fallback` when there is no text or it cannot be converted.
    const char* GetMultiByte(const char* fallback);

    void Free();
    // Hands the storage to the caller, who now releases it as its variant requires.
    WCHAR* Detach();
    // Takes ownership of storage made elsewhere (such as a COM string returned by a call); its
    // capacity is then read from it when first needed.
    void Attach(WCHAR* storage);
    // Frees the storage and returns its slot, for a call that hands back storage to own.
    WCHAR** Put();

    ULONG_PTR GetProperty(BYTE id);
    void SetProperty(BYTE id, ULONG_PTR value);

private:
    struct Accessor;
    static constexpr size_t kAccessorCount = 9;  // property 0, which names none, and PropLength..PropDetach
    static const Accessor kAccessors[kAccessorCount];

    // The accessors behind the property numbers.
    static ULONG_PTR propertyLength(CPWStringBufferT& self) { return self.GetLength(); }
    static ULONG_PTR propertyCapacity(CPWStringBufferT& self) { return self.GetCapacity(); }
    static ULONG_PTR propertyBuffer(CPWStringBufferT& self) { return reinterpret_cast<ULONG_PTR>(self.GetBuffer()); }
    static ULONG_PTR propertyText(CPWStringBufferT& self) { return reinterpret_cast<ULONG_PTR>(self.GetText()); }
    static ULONG_PTR propertyUserValue(CPWStringBufferT& self) {
        return static_cast<ULONG_PTR>(static_cast<ULONG>(self.mUserValue));
    }
    static void setPropertyUserValue(CPWStringBufferT& self, ULONG_PTR value) {
        self.mUserValue = static_cast<LONG>(value);
    }
    static ULONG_PTR propertyOffset(CPWStringBufferT& self) { return self.GetOffset(); }
    static void setPropertyOffset(CPWStringBufferT& self, ULONG_PTR value) {
        self.SetOffset(value > kMaxOffset ? kMaxOffset : static_cast<UINT>(value));
    }
    static ULONG_PTR propertyDetach(CPWStringBufferT& self) { return reinterpret_cast<ULONG_PTR>(self.Detach()); }

    // Allocate; without `clear` only the header, the text's terminator and the character behind
    // the capacity are written, and the caller writes every other one.
    WCHAR* allocate(UINT refsize, bool grow, bool clear);
    bool insideStorage(const WCHAR* text);
    void freeNarrow();
    // Takes the storage out of the object without releasing it, for reallocations that copy
    // the old text over.
    WCHAR* takeStorage();

    UINT mCapacity = 0;
    WCHAR* mBuffer = nullptr;
    UINT mOffset = 0;
    char* mNarrow = nullptr;
    LONG mUserValue = 0;
};

// The COM-string variant, whose storage goes straight into COM calls.
using CPWStringBuffer = CPWStringBufferT<CPWComStorage>;
// The heap variant.
using CPWHeapStringBuffer = CPWStringBufferT<CPWHeapStorage>;

extern template class CPWStringBufferT<CPWComStorage>;
extern template class CPWStringBufferT<CPWHeapStorage>;
