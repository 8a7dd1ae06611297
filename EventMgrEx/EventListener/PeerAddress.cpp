// PeerAddress.cpp -- a connection's peer address, IPv4-mapped IPv6 folded to IPv4.
#include "PeerAddress.h"

#include <string.h>

#include "UniqueHandle.h"

namespace {
const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
}  // namespace

PeerAddress PeerAddress::FromSockaddr(const sockaddr* address, int length) {
    PeerAddress peer;
    if (!address) return peer;
    if (address->sa_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(address);
        peer.mFamily = AF_INET;
        peer.mPort = ntohs(v4->sin_port);
        memcpy(peer.mBytes, &v4->sin_addr, 4);
    } else if (address->sa_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
        const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&v6->sin6_addr);
        peer.mPort = ntohs(v6->sin6_port);
        if (memcmp(bytes, kMappedPrefix, sizeof(kMappedPrefix)) == 0) {
            peer.mFamily = AF_INET;
            memcpy(peer.mBytes, bytes + 12, 4);
        } else {
            peer.mFamily = AF_INET6;
            memcpy(peer.mBytes, bytes, 16);
        }
    }
    return peer;
}

PeerAddress PeerAddress::OfSocket(SOCKET connection) {
    sockaddr_storage address = {};
    int length = sizeof(address);
    if (getpeername(connection, reinterpret_cast<sockaddr*>(&address), &length) != 0) return PeerAddress();
    return FromSockaddr(reinterpret_cast<sockaddr*>(&address), length);
}

bool PeerAddress::Parse(const char* text, PeerAddress* address) {
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    UniqueAddressList found;
    if (!text || !*text || getaddrinfo(text, nullptr, &hints, found.put()) != 0 || !found) return false;
    *address = FromSockaddr(found.get()->ai_addr, static_cast<int>(found.get()->ai_addrlen));
    return address->Known();
}

std::string PeerAddress::AddressText() const {
    if (!Known()) return "unknown";
    char text[INET6_ADDRSTRLEN] = "";
    if (IsV4()) {
        sockaddr_in v4 = {};
        v4.sin_family = AF_INET;
        memcpy(&v4.sin_addr, mBytes, 4);
        getnameinfo(reinterpret_cast<sockaddr*>(&v4), sizeof(v4), text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
    } else {
        sockaddr_in6 v6 = {};
        v6.sin6_family = AF_INET6;
        memcpy(&v6.sin6_addr, mBytes, 16);
        getnameinfo(reinterpret_cast<sockaddr*>(&v6), sizeof(v6), text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
    }
    return text;
}

std::string PeerAddress::Text() const {
    if (!Known()) return "an unknown peer";
    std::string port = std::to_string(mPort);
    return IsV4() ? AddressText() + ":" + port : "[" + AddressText() + "]:" + port;
}

bool PeerAddress::SameAddress(const PeerAddress& other) const {
    return mFamily == other.mFamily && memcmp(mBytes, other.mBytes, ByteCount()) == 0;
}

size_t PeerAddress::AddressHash() const {
    // FNV-1a over the address bytes and the family.
    uint64_t hash = 1469598103934665603ull ^ static_cast<uint64_t>(mFamily);
    for (size_t i = 0; i < ByteCount(); ++i) hash = (hash ^ mBytes[i]) * 1099511628211ull;
    return static_cast<size_t>(hash);
}
