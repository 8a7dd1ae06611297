// AddressFilter.cpp -- matching a peer's address against addresses and CIDR ranges.
#include "AddressFilter.h"

#include <stdlib.h>
#include <string.h>

AddressFilter AddressFilter::Everyone() {
    AddressFilter filter;
    filter.mEveryone = true;
    return filter;
}

AddressFilter AddressFilter::Loopback() {
    AddressFilter filter;
    std::string unused;
    filter.Parse("127.0.0.0/8, ::1", &unused);
    return filter;
}

bool AddressFilter::Parse(const std::string& text, std::string* bad) {
    bool good = true;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of(", \t", at);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(at, end - at);
        at = end + 1;
        if (entry.empty()) continue;
        if (entry == "*") {
            mEveryone = true;
            continue;
        }
        size_t slash = entry.find('/');
        Range range;
        bool ok = PeerAddress::Parse(entry.substr(0, slash).c_str(), &range.address);
        unsigned bits = ok ? static_cast<unsigned>(range.address.ByteCount() * 8) : 0;
        range.prefix = bits;
        if (ok && slash != std::string::npos) {
            const char* digits = entry.c_str() + slash + 1;
            char* stop = nullptr;
            unsigned long prefix = strtoul(digits, &stop, 10);
            ok = *digits && *stop == '\0' && prefix <= bits;
            range.prefix = static_cast<unsigned>(prefix);
        }
        if (ok) {
            mRanges.push_back(range);
        } else if (good) {
            good = false;
            *bad = entry;
        }
    }
    return good;
}

bool AddressFilter::Allows(const PeerAddress& peer) const {
    if (mEveryone) return true;
    for (const Range& range : mRanges) {
        if (range.address.IsV4() != peer.IsV4() || !peer.Known()) continue;
        const uint8_t* a = range.address.Bytes();
        const uint8_t* b = peer.Bytes();
        unsigned whole = range.prefix / 8;
        unsigned rest = range.prefix % 8;
        if (memcmp(a, b, whole) != 0) continue;
        if (rest && ((a[whole] ^ b[whole]) & static_cast<uint8_t>(0xFF << (8 - rest)))) continue;
        return true;
    }
    return false;
}

std::string AddressFilter::Text() const {
    if (mEveryone) return "everyone";
    std::string text;
    for (const Range& range : mRanges) {
        if (!text.empty()) text += ", ";
        text += range.address.AddressText();
        if (range.prefix != range.address.ByteCount() * 8) text += "/" + std::to_string(range.prefix);
    }
    return text.empty() ? "nobody" : text;
}
