// StopSignal.cpp -- a connected pair of sockets whose far end is shut down to raise the signal.
#include "StopSignal.h"

#include <ws2tcpip.h>

#include <new>

namespace {

#ifdef _WIN32
// Winsock has no socketpair: a loopback connection made to ourselves serves.
bool MakePair(UniqueSocket& waitEnd, UniqueSocket& raiseEnd) {
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    UniqueSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!client || connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
    UniqueSocket server(accept(listener.get(), nullptr, nullptr));
    if (!server) return false;
    waitEnd = std::move(server);
    raiseEnd = std::move(client);
    return true;
}
#else
bool MakePair(UniqueSocket& waitEnd, UniqueSocket& raiseEnd) {
    int pair[2];
    if ((socketpair)(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    waitEnd.reset(static_cast<SOCKET>(pair[0]));
    raiseEnd.reset(static_cast<SOCKET>(pair[1]));
    return true;
}
#endif

}  // namespace

std::shared_ptr<StopSignal> StopSignal::Make() {
    std::shared_ptr<StopSignal> signal(new (std::nothrow) StopSignal());
    if (signal && !MakePair(signal->mWaitEnd, signal->mRaiseEnd)) {
        signal->mWaitEnd.reset();
        signal->mRaiseEnd.reset();
    }
    return signal;
}

void StopSignal::Raise() {
    if (mRaised.exchange(true, std::memory_order_acq_rel)) return;
    // End of stream on the far side wakes every select() that has the near end in its set.
    if (mRaiseEnd) shutdown(mRaiseEnd.get(), SD_SEND);
}
