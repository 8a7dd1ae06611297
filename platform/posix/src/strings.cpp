// strings.cpp -- code pages: byte-for-byte ANSI, real UTF-8, string lengths.
#include "Win32Error.h"

using kvposix::FailWith;

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Counts what a conversion produces and stores it while there is room, so that one pass serves
// both "how much is needed" and "convert".
template <class Unit>
class Sink {
public:
    Sink(Unit* out, size_t capacity) : mOut(capacity ? out : nullptr), mCapacity(capacity) {}
    void Put(Unit unit) {
        if (mOut && mCount < mCapacity) mOut[mCount] = unit;
        ++mCount;
    }
    size_t count() const { return mCount; }
    bool overflowed() const { return mCapacity && mCount > mCapacity; }

private:
    Unit* mOut;
    size_t mCapacity;
    size_t mCount = 0;
};

bool IsByteCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_MACCP || codePage == CP_THREAD_ACP;
}

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes) and its code point; 0 when
// the sequence is invalid, with `*bad` set to the bytes to replace by one U+FFFD (the maximal
// valid prefix, at least 1).
size_t DecodeUtf8(const unsigned char* p, size_t left, uint32_t* codePoint, size_t* bad) {
    unsigned char lead = p[0];
    size_t length;
    uint32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = i < left ? p[i] : 0;
        if (i >= left || next < low || next > high) {
            *bad = i;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3F);
    }
    *codePoint = value;
    return length;
}

void EncodeUtf8(uint32_t c, Sink<char>& sink) {
    if (c < 0x80) {
        sink.Put(static_cast<char>(c));
    } else if (c < 0x800) {
        sink.Put(static_cast<char>(0xC0 | (c >> 6)));
        sink.Put(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        sink.Put(static_cast<char>(0xE0 | (c >> 12)));
        sink.Put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        sink.Put(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        sink.Put(static_cast<char>(0xF0 | (c >> 18)));
        sink.Put(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        sink.Put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        sink.Put(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

int Finish(size_t count, bool overflowed) {
    if (overflowed) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
    if (count > 0x7FFFFFFF) return FailWith(ERROR_INVALID_PARAMETER, 0);
    return static_cast<int>(count);
}

}  // namespace

KVAPI UINT GetACP(void) { return 1252; }

KVAPI UINT GetOEMCP(void) { return 437; }

KVAPI int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                              LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    }
    const size_t length = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    Sink<WCHAR> sink(lpWideCharStr, static_cast<size_t>(cchWideChar));

    if (IsByteCodePage(CodePage)) {
        if ((dwFlags & ~(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS)) ||
            (dwFlags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE)) {
            return FailWith(ERROR_INVALID_FLAGS, 0);
        }
        for (size_t i = 0; i < length; ++i) sink.Put(static_cast<WCHAR>(in[i]));
        return Finish(sink.count(), sink.overflowed());
    }
    if (CodePage != CP_UTF8) return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (dwFlags & ~MB_ERR_INVALID_CHARS) return FailWith(ERROR_INVALID_FLAGS, 0);
    for (size_t i = 0; i < length;) {
        uint32_t codePoint = 0;
        size_t bad = 0;
        size_t used = DecodeUtf8(in + i, length - i, &codePoint, &bad);
        if (used == 0) {
            if (dwFlags & MB_ERR_INVALID_CHARS) return FailWith(ERROR_NO_UNICODE_TRANSLATION, 0);
            sink.Put(static_cast<WCHAR>(kReplacement));
            i += bad;
            continue;
        }
        sink.Put(static_cast<WCHAR>(codePoint));
        i += used;
    }
    return Finish(sink.count(), sink.overflowed());
}

KVAPI int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                              LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    }
    const size_t length = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    Sink<char> sink(lpMultiByteStr, static_cast<size_t>(cbMultiByte));

    if (IsByteCodePage(CodePage)) {
        if (dwFlags & ~(WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS)) {
            return FailWith(ERROR_INVALID_FLAGS, 0);
        }
        const char replacement = lpDefaultChar ? *lpDefaultChar : '?';
        BOOL usedDefault = FALSE;
        for (size_t i = 0; i < length; ++i) {
            uint32_t unit = static_cast<uint32_t>(lpWideCharStr[i]);
            if (unit > 0xFF) {
                sink.Put(replacement);
                usedDefault = TRUE;
            } else {
                sink.Put(static_cast<char>(unit));
            }
        }
        if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault;
        return Finish(sink.count(), sink.overflowed());
    }
    if (CodePage != CP_UTF8) return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (lpDefaultChar || lpUsedDefaultChar) return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (dwFlags & ~WC_ERR_INVALID_CHARS) return FailWith(ERROR_INVALID_FLAGS, 0);
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = static_cast<uint32_t>(lpWideCharStr[i]);
        // Text that came from Windows may hold UTF-16 surrogate pairs, one unit each.
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
            uint32_t next = static_cast<uint32_t>(lpWideCharStr[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                EncodeUtf8(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), sink);
                ++i;
                continue;
            }
        }
        if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
            if (dwFlags & WC_ERR_INVALID_CHARS) return FailWith(ERROR_NO_UNICODE_TRANSLATION, 0);
            unit = kReplacement;
        }
        EncodeUtf8(unit, sink);
    }
    return Finish(sink.count(), sink.overflowed());
}

KVAPI int lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(strlen(lpString)) : 0; }

KVAPI int lstrlenW(LPCWSTR lpString) { return lpString ? static_cast<int>(wcslen(lpString)) : 0; }
