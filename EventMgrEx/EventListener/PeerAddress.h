// PeerAddress.h -- the address a connection came from: compared, hashed and written as text.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include <string>

// An IPv4 or IPv6 address and port (an IPv4-mapped IPv6 address counts as the IPv4 one). Peers
// are counted and listed by address, without the port.
class PeerAddress {
public:
    PeerAddress() = default;
    static PeerAddress FromSockaddr(const sockaddr* address, int length);
    // The peer of a connected socket; an unknown peer when it cannot be read.
    static PeerAddress OfSocket(SOCKET connection);
    // A numeric address without a port ("192.0.2.1", "2001:db8::1"); false when it is none.
    static bool Parse(const char* text, PeerAddress* address);

    bool Known() const { return mFamily != 0; }
    bool IsV4() const { return mFamily == AF_INET; }
    const uint8_t* Bytes() const { return mBytes; }  // 4 or 16 bytes, network order
    size_t ByteCount() const { return IsV4() ? 4 : 16; }
    unsigned Port() const { return mPort; }

    // "192.0.2.1:50000", "[2001:db8::1]:50000", or "an unknown peer".
    std::string Text() const;
    // The address alone: "192.0.2.1", "2001:db8::1", or "unknown".
    std::string AddressText() const;

    bool SameAddress(const PeerAddress& other) const;
    size_t AddressHash() const;

private:
    int mFamily = 0;
    unsigned mPort = 0;
    uint8_t mBytes[16] = {};
};

// For maps keyed by address (the port left out).
struct PeerAddressHash {
    size_t operator()(const PeerAddress& peer) const { return peer.AddressHash(); }
};
struct PeerAddressEqual {
    bool operator()(const PeerAddress& a, const PeerAddress& b) const { return a.SameAddress(b); }
};
