// ListenerTestSupport.h -- a started listener on loopback, its log, and plain TCP clients.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Listener.h"
#include "TestSupport.h"

namespace kvtest {

const char kListenerKey[] = "SOFTWARE\\Korvane\\KVLumen\\Listener";
const char kComponentLogKey[] = "SOFTWARE\\Korvane\\KVLumen\\Logging";
const char kComponentTag[] = "KVLUMEN.EventListener";

// True when every address of this machine's host name is a loopback address: the listener
// listens there, and tests send traffic only to loopback.
bool HostNameIsLoopbackOnly();

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short FreeLoopbackPort();

// A connected client socket to 127.0.0.1:port, or INVALID_SOCKET.
SOCKET ConnectLoopback(unsigned short port);

// Reads until the peer closes or `timeoutMs` passes; returns what arrived.
std::string ReceiveAll(SOCKET s, DWORD timeoutMs = 10000);

// Reads until `count` bytes arrived, the peer closes or `timeoutMs` passes; returns what arrived.
std::string ReceiveCount(SOCKET s, size_t count, DWORD timeoutMs = 10000);

// True when the peer has closed the connection (its end of stream, or a reset, is there to read).
bool ClosedByPeer(SOCKET s);

// Sends all of `data`; false on failure.
bool SendAll(SOCKET s, const std::string& data);

// How a message of the component logged at `level` begins in its log.
std::string AtLevel(int level, const std::string& message);

// Counts the occurrences of `text` in `haystack`.
size_t CountOf(const std::string& haystack, const std::string& text);

// Waits until `predicate` holds or `timeoutMs` passes; returns the predicate's last value.
template <class Predicate>
bool WaitFor(Predicate predicate, DWORD timeoutMs = 10000) {
    DWORD start = GetTickCount();
    while (!predicate()) {
        if (GetTickCount() - start > timeoutMs) return predicate();
        Sleep(10);
    }
    return true;
}

// Fixture: Winsock, the component's log at level 5 into a temporary file, a clean port setting.
class ListenerTest : public testing::Test {
public:
    static std::string Text(BSTR text);

protected:
    void SetUp() override;
    void TearDown() override;

    // Creates a listener object (the caller's one reference).
    CListener* NewListener();
    // Returns once the listener on `port` has accepted and handled a connection.
    void WaitUntilAccepting(const std::string& port);
    // The log written so far.
    std::string Log() const { return ReadWholeFile(mLogPath); }

    ScopedTempDir mDir;
    std::string mLogPath;
    bool mOwnAddresses = false;  // KVLUMEN_LISTEN set: the host name is not loopback only
    std::vector<CListener*> mListeners;
};

}  // namespace kvtest
