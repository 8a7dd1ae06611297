// com.cpp -- COM basics: interface identifiers, apartments, GUIDs, BSTRs, task memory.
#include "Win32Error.h"

#include <stdlib.h>
#include <sys/mman.h>
#include <sys/random.h>

#include <atomic>

KVAPI const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
KVAPI const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
KVAPI const CLSID CLSID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
KVAPI const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
KVAPI const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
KVAPI const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

constexpr int kGuidTextLength = 38;  // without the terminator

// The process's apartments: how many threads are in the multithreaded one, and which thread
// (if any) owns the main single-threaded one (the first created).
std::atomic<long> gMultithreadedThreads{0};
std::atomic<DWORD> gMainStaThread{0};

// This thread's apartment. Undone when the thread ends, in case it never uninitialized.
struct Apartment {
    int model = -1;  // COINIT_MULTITHREADED or COINIT_APARTMENTTHREADED; -1: none
    unsigned count = 0;

    void Leave() {
        if (model == COINIT_MULTITHREADED) {
            gMultithreadedThreads.fetch_sub(1);
        } else {
            DWORD self = GetCurrentThreadId();
            gMainStaThread.compare_exchange_strong(self, 0);
        }
        model = -1;
        count = 0;
    }
    ~Apartment() {
        if (count) Leave();
    }
};
thread_local Apartment tApartment;

int HexValue(OLECHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `text`.
bool ReadHex(LPCOLESTR text, int digits, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i) {
        int v = HexValue(text[i]);
        if (v < 0) return false;
        *value = (*value << 4) | static_cast<uint64_t>(v);
    }
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", exactly.
bool ParseGuid(LPCOLESTR text, GUID* guid) {
    for (int i = 0; i < kGuidTextLength; ++i) {
        if (!text[i]) return false;
    }
    if (text[kGuidTextLength] || text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
        text[24] != '-' || text[37] != '}') {
        return false;
    }
    uint64_t value;
    GUID result;
    if (!ReadHex(text + 1, 8, &value)) return false;
    result.Data1 = static_cast<uint32_t>(value);
    if (!ReadHex(text + 10, 4, &value)) return false;
    result.Data2 = static_cast<uint16_t>(value);
    if (!ReadHex(text + 15, 4, &value)) return false;
    result.Data3 = static_cast<uint16_t>(value);
    static const int kByteOffsets[] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text + kByteOffsets[i], 2, &value)) return false;
        result.Data4[i] = static_cast<uint8_t>(value);
    }
    *guid = result;
    return true;
}

// A BSTR's block: the byte length, then the characters, then a terminator. The pointer handed
// out is the one to the characters.
constexpr size_t kPrefix = sizeof(uint32_t);
constexpr UINT kLargestByteLength = 0x7FFFFFFFu - 2 * sizeof(OLECHAR) - kPrefix;

// Strings of this many bytes or more get pages of their own, which go back to the system when the
// string is freed: a burst of large messages must not leave the allocator's arenas at its peak.
// Whether a block is mapped follows from the length it records.
constexpr UINT kMappedByteLength = 256 * 1024;

size_t BlockSize(UINT byteLength) {
    // The terminator is one whole OLECHAR after the last complete character, plus any odd bytes.
    size_t tail = sizeof(OLECHAR) + (sizeof(OLECHAR) - byteLength % sizeof(OLECHAR)) % sizeof(OLECHAR);
    return kPrefix + byteLength + tail;
}

BSTR AllocateBytes(UINT byteLength) {
    if (byteLength > kLargestByteLength) return nullptr;
    size_t tail = BlockSize(byteLength) - kPrefix - byteLength;
    char* block = nullptr;
    if (byteLength >= kMappedByteLength) {
        void* pages = mmap(nullptr, BlockSize(byteLength), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        block = pages == MAP_FAILED ? nullptr : static_cast<char*>(pages);
    } else {
        block = static_cast<char*>(malloc(BlockSize(byteLength)));
    }
    if (!block) return nullptr;
    uint32_t length = byteLength;
    memcpy(block, &length, sizeof(length));
    memset(block + kPrefix + byteLength, 0, tail);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

char* BlockOf(BSTR text) { return reinterpret_cast<char*>(text) - kPrefix; }

}  // namespace

KVAPI HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved) return E_INVALIDARG;
    if (dwCoInit & ~static_cast<DWORD>(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY)) {
        return E_INVALIDARG;
    }
    const int model = (dwCoInit & COINIT_APARTMENTTHREADED) ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    Apartment& apartment = tApartment;
    if (apartment.count == 0) {
        apartment.model = model;
        apartment.count = 1;
        if (model == COINIT_MULTITHREADED) {
            gMultithreadedThreads.fetch_add(1);
        } else {
            DWORD none = 0;
            gMainStaThread.compare_exchange_strong(none, GetCurrentThreadId());
        }
        return S_OK;
    }
    if (apartment.model != model) return RPC_E_CHANGED_MODE;
    ++apartment.count;
    return S_FALSE;
}

KVAPI HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

KVAPI void CoUninitialize(void) {
    Apartment& apartment = tApartment;
    if (apartment.count == 0) return;
    if (--apartment.count == 0) apartment.Leave();
}

KVAPI HRESULT CoGetApartmentType(APTTYPE* pAptType, APTTYPEQUALIFIER* pAptQualifier) {
    if (!pAptType || !pAptQualifier) return E_INVALIDARG;
    const Apartment& apartment = tApartment;
    *pAptQualifier = APTTYPEQUALIFIER_NONE;
    if (apartment.count) {
        if (apartment.model == COINIT_MULTITHREADED) {
            *pAptType = APTTYPE_MTA;
        } else {
            *pAptType = gMainStaThread.load() == GetCurrentThreadId() ? APTTYPE_MAINSTA : APTTYPE_STA;
        }
        return S_OK;
    }
    if (gMultithreadedThreads.load() > 0) {
        *pAptType = APTTYPE_MTA;
        *pAptQualifier = APTTYPEQUALIFIER_IMPLICIT_MTA;
        return S_OK;
    }
    *pAptType = APTTYPE_CURRENT;
    return CO_E_NOTINITIALIZED;
}

KVAPI HRESULT CoCreateGuid(GUID* pguid) {
    if (!pguid) return E_INVALIDARG;
    unsigned char bytes[sizeof(GUID)];
    size_t filled = 0;
    while (filled < sizeof(bytes)) {
        ssize_t got = getrandom(bytes + filled, sizeof(bytes) - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return HRESULT_FROM_WIN32(kvposix::Win32ErrorFromErrno(errno));
        }
        filled += static_cast<size_t>(got);
    }
    memcpy(pguid, bytes, sizeof(GUID));
    pguid->Data3 = static_cast<uint16_t>((pguid->Data3 & 0x0FFF) | 0x4000);  // version 4: random
    pguid->Data4[0] = static_cast<uint8_t>((pguid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return S_OK;
}

KVAPI int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < kGuidTextLength + 1) return 0;
    static const char kHex[] = "0123456789ABCDEF";
    OLECHAR* out = lpsz;
    auto put = [&out](uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out++ = kHex[(value >> shift) & 0xF];
    };
    *out++ = '{';
    put(rguid.Data1, 8);
    *out++ = '-';
    put(rguid.Data2, 4);
    *out++ = '-';
    put(rguid.Data3, 4);
    *out++ = '-';
    put(rguid.Data4[0], 2);
    put(rguid.Data4[1], 2);
    *out++ = '-';
    for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
    *out++ = '}';
    *out = 0;
    return kGuidTextLength + 1;
}

KVAPI HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    if (!lpsz) {
        *pclsid = CLSID_NULL;
        return S_OK;
    }
    return ParseGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
}

KVAPI HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (!lpiid) return E_INVALIDARG;
    if (!lpsz) {
        *lpiid = IID_NULL;
        return S_OK;
    }
    if (wcslen(lpsz) != kGuidTextLength) return E_INVALIDARG;
    return ParseGuid(lpsz, lpiid) ? S_OK : CO_E_IIDSTRING;
}

KVAPI BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
    BSTR text = AllocateBytes(len);
    if (!text) return nullptr;
    // Without a source the characters are left as they are, as on Windows: callers fill them.
    if (psz) memcpy(text, psz, len);
    return text;
}

KVAPI BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > kLargestByteLength / sizeof(OLECHAR)) return nullptr;
    return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(strIn), static_cast<UINT>(ui * sizeof(OLECHAR)));
}

KVAPI BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    size_t length = wcslen(psz);
    if (length > kLargestByteLength / sizeof(OLECHAR)) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(length));
}

KVAPI INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr || len > kLargestByteLength / sizeof(OLECHAR)) return FALSE;
    // Allocate and copy before freeing: `psz` may point into the old string. Without `psz`
    // the old characters stay, as far as they reach.
    BSTR replacement = AllocateBytes(static_cast<UINT>(len * sizeof(OLECHAR)));
    if (!replacement) return FALSE;
    if (psz) {
        memcpy(replacement, psz, len * sizeof(OLECHAR));
    } else {
        UINT kept = *pbstr ? SysStringLen(*pbstr) : 0;
        if (kept > len) kept = len;
        if (kept) memcpy(replacement, *pbstr, kept * sizeof(OLECHAR));
        memset(replacement + kept, 0, (len - kept) * sizeof(OLECHAR));
    }
    SysFreeString(*pbstr);
    *pbstr = replacement;
    return TRUE;
}

KVAPI INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr) return FALSE;
    if (!psz) {
        SysFreeString(*pbstr);
        *pbstr = nullptr;
        return TRUE;
    }
    size_t length = wcslen(psz);
    if (length > kLargestByteLength / sizeof(OLECHAR)) return FALSE;
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(length));
}

KVAPI void SysFreeString(BSTR bstrString) {
    if (!bstrString) return;
    UINT byteLength = SysStringByteLen(bstrString);
    if (byteLength >= kMappedByteLength)
        munmap(BlockOf(bstrString), BlockSize(byteLength));
    else
        free(BlockOf(bstrString));
}

KVAPI UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    uint32_t length;
    memcpy(&length, BlockOf(bstr), sizeof(length));
    return length;
}

KVAPI UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

KVAPI LPVOID CoTaskMemAlloc(SIZE_T cb) { return malloc(cb ? cb : 1); }

KVAPI LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (cb == 0) {
        free(pv);
        return nullptr;
    }
    return realloc(pv, cb);
}

KVAPI void CoTaskMemFree(LPVOID pv) { free(pv); }
