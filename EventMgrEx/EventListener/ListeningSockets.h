// ListeningSockets.h -- the listening sockets of one port, on every address of a host name or on addresses given by name.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "UniqueHandle.h"

class ListeningSockets {
public:
    static const int kMax = 64;

    // Opens a listening socket for `port` on every IPv4 and IPv6 address each of `hosts` resolves
    // to (at most kMax in all). Port "0" lets the system choose, and the chosen port is then taken
    // on every further address, so that clients and the stop reach them all. True when at least
    // one socket listens; `*boundPort` is then the port they listen on. What was open before is
    // closed first.
    bool Open(const std::vector<std::string>& hosts, const char* port, std::string* boundPort);
    void Close();

    int Count() const { return mCount; }
    // True when the last Open could resolve none of its hosts with its port.
    bool LookupFailed() const { return mLookupFailed; }
    SOCKET At(int index) const { return mSockets[index].get(); }
    // Where a stop's wake-up reaches socket `index`: its own address, loopback for a wildcard.
    bool WakeUpAddress(int index, sockaddr_storage* address, int* length) const;

private:
    UniqueSocket mSockets[kMax];
    int mCount = 0;
    bool mLookupFailed = false;
};
