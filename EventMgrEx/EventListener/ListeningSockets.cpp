// ListeningSockets.cpp -- binding and listening on every address of a port; a port the system chose is kept for the others.
#include "ListeningSockets.h"

#include <ws2tcpip.h>

#include <string.h>

namespace {

// The port of an address; 0 for a family we do not know.
USHORT PortOf(const sockaddr* address) {
    if (address->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    if (address->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    return 0;
}

void SetPort(sockaddr* address, USHORT port) {
    if (address->sa_family == AF_INET) reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
    if (address->sa_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
}

}  // namespace

void ListeningSockets::Close() {
    for (int i = 0; i < mCount; ++i) {
        shutdown(mSockets[i].get(), SD_BOTH);
        mSockets[i].reset();
    }
    mCount = 0;
}

bool ListeningSockets::Open(const std::vector<std::string>& hosts, const char* port, std::string* boundPort) {
    Close();
    mLookupFailed = true;
    USHORT chosenPort = 0;
    for (const std::string& host : hosts) {
        addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        UniqueAddressList results;
        if (getaddrinfo(host.c_str(), port, &hints, results.put()) != 0) continue;
        mLookupFailed = false;
        for (addrinfo* ai = results.get(); ai && mCount < kMax; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
            UniqueSocket s(socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
            if (!s) continue;
            sockaddr_storage address = {};
            memcpy(&address, ai->ai_addr, ai->ai_addrlen);
            if (PortOf(ai->ai_addr) == 0 && chosenPort != 0) SetPort(reinterpret_cast<sockaddr*>(&address), chosenPort);
#ifdef IPV6_V6ONLY
            // "::" and "0.0.0.0" are two sockets, as on Windows: the IPv6 one takes IPv6 only.
            if (ai->ai_family == AF_INET6) {
                int on = 1;
                setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof(on));
            }
#endif
            if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), static_cast<int>(ai->ai_addrlen)) == SOCKET_ERROR ||
                listen(s.get(), SOMAXCONN) == SOCKET_ERROR)
                continue;
            if (chosenPort == 0) {
                sockaddr_storage bound = {};
                int length = sizeof(bound);
                if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
                    chosenPort = PortOf(reinterpret_cast<sockaddr*>(&bound));
            }
            mSockets[mCount++] = std::move(s);
        }
    }
    if (mCount == 0) return false;
    *boundPort = chosenPort != 0 ? std::to_string(chosenPort) : std::string(port);
    return true;
}

bool ListeningSockets::WakeUpAddress(int index, sockaddr_storage* address, int* length) const {
    *length = sizeof(*address);
    if (getsockname(mSockets[index].get(), reinterpret_cast<sockaddr*>(address), length) != 0) return false;
    if (address->ss_family == AF_INET) {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(address);
        if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (address->ss_family == AF_INET6) {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(address);
        static const unsigned char kUnspecified[16] = {};
        if (memcmp(&v6->sin6_addr, kUnspecified, 16) == 0) reinterpret_cast<unsigned char*>(&v6->sin6_addr)[15] = 1;
    }
    return true;
}
