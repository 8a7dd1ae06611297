// ByteText.cpp -- bytes as wide characters, one byte per character, sixteen at a time where SSE2 is there.
#include "ByteText.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// A message is widened whole on every delivery, so where the processor has SSE2 sixteen bytes go
// at a time.
void WidenBytes(const char* from, size_t count, WCHAR* to) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        __m128i low = _mm_unpacklo_epi8(bytes, zero);
        __m128i high = _mm_unpackhi_epi8(bytes, zero);
        __m128i* out = reinterpret_cast<__m128i*>(to + i);
        if (sizeof(WCHAR) == 2) {
            _mm_storeu_si128(out, low);
            _mm_storeu_si128(out + 1, high);
        } else {
            _mm_storeu_si128(out, _mm_unpacklo_epi16(low, zero));
            _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, zero));
            _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(high, zero));
            _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(high, zero));
        }
    }
#endif
    for (; i < count; ++i) to[i] = static_cast<WCHAR>(static_cast<unsigned char>(from[i]));
}

BSTR AllocBstrFromBytes(const char* bytes, size_t count) {
    // A COM string's length field counts bytes in 32 bits.
    if (count > 0x7FFFFFF0u / sizeof(WCHAR) - 1) return nullptr;
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(count));
    if (text && count) WidenBytes(bytes, count, text);
    return text;
}

std::string NarrowBytes(BSTR text) {
    std::string bytes;
    if (!text) return bytes;
    bytes.resize(SysStringLen(text));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(static_cast<unsigned long>(text[i]) <= 0xFF ? text[i] : '?');
    return bytes;
}
