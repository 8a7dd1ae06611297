// SocketsTests.cpp -- Windows Sockets conformance: startup counting, errors, loopback TCP, select.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include "ScopedSocket.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

// A loopback address of the family with the given port (host order).
sockaddr_storage Loopback(int family, u_short port, int* length) {
    sockaddr_storage address;
    memset(&address, 0, sizeof(address));
    if (family == AF_INET6) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        in6->sin6_addr.s6_addr[15] = 1;
        *length = sizeof(sockaddr_in6);
    } else {
        sockaddr_in* in4 = reinterpret_cast<sockaddr_in*>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *length = sizeof(sockaddr_in);
    }
    return address;
}

u_short PortOf(SOCKET s) {
    sockaddr_storage address;
    int length = sizeof(address);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// A TCP socket listening on the loopback address of the family, on a port the system picks.
SOCKET ListenOnLoopback(int family, u_short* port) {
    ScopedSocket s(socket(family, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return INVALID_SOCKET;
    int length = 0;
    sockaddr_storage address = Loopback(family, 0, &length);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return INVALID_SOCKET;
    if (listen(s.get(), SOMAXCONN) != 0) return INVALID_SOCKET;
    *port = PortOf(s.get());
    return s.release();
}

SOCKET ConnectToLoopback(int family, u_short port) {
    ScopedSocket s(socket(family, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return INVALID_SOCKET;
    int length = 0;
    sockaddr_storage address = Loopback(family, port, &length);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return INVALID_SOCKET;
    return s.release();
}

// A connected pair over IPv4 loopback: `client` connected, `server` accepted.
void ConnectedPair(ScopedSocket* client, ScopedSocket* server) {
    u_short port = 0;
    ScopedSocket listener(ListenOnLoopback(AF_INET, &port));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    client->reset(ConnectToLoopback(AF_INET, port));
    ASSERT_TRUE(client->valid()) << WSAGetLastError();
    server->reset(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server->valid()) << WSAGetLastError();
}

// Exactly `count` bytes, or fewer when the connection ends or fails first.
std::string ReceiveExactly(SOCKET s, size_t count) {
    std::string data;
    char buffer[64];
    while (data.size() < count) {
        size_t wanted = count - data.size() < sizeof(buffer) ? count - data.size() : sizeof(buffer);
        int n = recv(s, buffer, static_cast<int>(wanted), 0);
        if (n <= 0) break;
        data.append(buffer, n);
    }
    return data;
}

int SelectRead(fd_set* set, long timeoutMs) {
    timeval timeout;
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    return select(0, set, nullptr, nullptr, &timeout);
}

// Every test of the suite runs between a WSAStartup and its WSACleanup.
class Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &mData)); }
    void TearDown() override { EXPECT_EQ(0, WSACleanup()); }
    WSADATA mData;
};

}  // namespace

TEST(SocketsStartup, CountsCalls) {
    // Each WSAStartup needs its own WSACleanup; one cleanup too many fails with WSANOTINITIALISED.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());

    WSADATA data;
    memset(&data, 0xcc, sizeof(data));
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    EXPECT_EQ(MAKEWORD(1, 1), data.wVersion);
    EXPECT_EQ(MAKEWORD(2, 2), data.wHighVersion);
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);

    EXPECT_EQ(0, WSACleanup());
    ScopedSocket stillStarted(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_TRUE(stillStarted.valid()) << WSAGetLastError();
    EXPECT_EQ(0, WSACleanup());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST(SocketsStartup, RefusesVersionZero) {
    // A request below version 1 is refused in the result and counts for nothing.
    WSADATA data;
    EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 2), &data));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST(SocketsStartup, NewSocketsNeedStartup) {
    // Without a startup no socket can be created: WSANOTINITIALISED.
    SetLastError(0xdeadbeef);
    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_FALSE(s.valid());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST(SocketsStartup, LastErrorIsTheThreadsLastError) {
    // WSASetLastError and SetLastError write one per-thread value that both getters read.
    WSASetLastError(WSAECONNRESET);
    EXPECT_EQ(static_cast<DWORD>(WSAECONNRESET), GetLastError());
    SetLastError(WSAEWOULDBLOCK);
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    // The other thread writes while this one holds its value; the handshake is on atomics
    // alone, because thread creation and joining may themselves change the last error.
    std::atomic<int> step{0};
    int seenByOther = 0;
    std::thread other([&] {
        while (step.load() != 1) {
        }
        WSASetLastError(WSAETIMEDOUT);
        seenByOther = WSAGetLastError();
        step.store(2);
    });
    WSASetLastError(WSAEWOULDBLOCK);
    step.store(1);
    while (step.load() != 2) {
    }
    int seenHere = WSAGetLastError();
    other.join();
    EXPECT_EQ(WSAETIMEDOUT, seenByOther);
    EXPECT_EQ(WSAEWOULDBLOCK, seenHere);
}

TEST_F(Sockets, LoopbackRoundTrip) {
    // Listen on an assigned port, connect, accept with the peer's address, talk both ways, and
    // see a half-close arrive as a 0-byte receive while the other direction still works.
    u_short port = 0;
    ScopedSocket listener(ListenOnLoopback(AF_INET, &port));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    ASSERT_NE(0, port);
    ScopedSocket client(ConnectToLoopback(AF_INET, port));
    ASSERT_TRUE(client.valid()) << WSAGetLastError();

    sockaddr_in peer;
    int peerLength = sizeof(peer);
    ScopedSocket server(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength));
    ASSERT_TRUE(server.valid()) << WSAGetLastError();
    EXPECT_EQ(static_cast<int>(sizeof(sockaddr_in)), peerLength);
    EXPECT_EQ(AF_INET, peer.sin_family);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
    EXPECT_EQ(PortOf(client.get()), ntohs(peer.sin_port));

    const char request[] = "POST / HTTP/1.1";
    ASSERT_EQ(static_cast<int>(sizeof(request)), send(client.get(), request, sizeof(request), 0));
    EXPECT_EQ(std::string(request, sizeof(request)), ReceiveExactly(server.get(), sizeof(request)));

    ASSERT_EQ(0, shutdown(client.get(), SD_SEND));
    char buffer[8];
    EXPECT_EQ(0, recv(server.get(), buffer, sizeof(buffer), 0));
    ASSERT_EQ(2, send(server.get(), "ok", 2, 0));
    EXPECT_EQ("ok", ReceiveExactly(client.get(), 2));
    ASSERT_EQ(0, closesocket(server.release()));
    EXPECT_EQ(0, recv(client.get(), buffer, sizeof(buffer), 0));
}

TEST_F(Sockets, AcceptRefusesShortAddressBuffer) {
    // An address buffer too small for the family fails with WSAEFAULT.
    u_short port = 0;
    ScopedSocket listener(ListenOnLoopback(AF_INET, &port));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    ScopedSocket client(ConnectToLoopback(AF_INET, port));
    ASSERT_TRUE(client.valid()) << WSAGetLastError();
    sockaddr_in peer;
    int peerLength = 4;
    SetLastError(0xdeadbeef);
    ScopedSocket refused(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength));
    EXPECT_FALSE(refused.valid());
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(Sockets, ListenNeedsABindAndSurvivesShutdown) {
    // listen on an unbound socket fails with WSAEINVAL; shutdown of a listening socket fails
    // with WSAENOTCONN and leaves it accepting connections.
    ScopedSocket unbound(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(unbound.valid());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, listen(unbound.get(), SOMAXCONN));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());

    u_short port = 0;
    ScopedSocket listener(ListenOnLoopback(AF_INET, &port));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, shutdown(listener.get(), SD_BOTH));
    EXPECT_EQ(WSAENOTCONN, WSAGetLastError());
    ScopedSocket client(ConnectToLoopback(AF_INET, port));
    ASSERT_TRUE(client.valid()) << WSAGetLastError();
    ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    EXPECT_TRUE(server.valid()) << WSAGetLastError();
}

TEST_F(Sockets, TypeZeroMeansTcp) {
    // A socket asked for with type 0 and no protocol, as getaddrinfo without hints may
    // describe it, is a stream socket.
    ScopedSocket s(socket(AF_INET, 0, 0));
    ASSERT_TRUE(s.valid()) << WSAGetLastError();
    int type = 0;
    int length = sizeof(type);
    ASSERT_EQ(0, getsockopt(s.get(), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
    EXPECT_EQ(SOCK_STREAM, type);
}

TEST_F(Sockets, ConnectToClosedPortIsRefused) {
    // A port that is bound but not listening refuses the connection: WSAECONNREFUSED.
    ScopedSocket holder(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(holder.valid());
    int length = 0;
    sockaddr_storage address = Loopback(AF_INET, 0, &length);
    ASSERT_EQ(0, bind(holder.get(), reinterpret_cast<sockaddr*>(&address), length));
    address = Loopback(AF_INET, PortOf(holder.get()), &length);

    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(s.valid());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, connect(s.get(), reinterpret_cast<sockaddr*>(&address), length));
    EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
}

TEST_F(Sockets, CloseRejectsWhatIsNoSocket) {
    // closesocket of INVALID_SOCKET, or of a socket already closed, fails with WSAENOTSOCK.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, closesocket(INVALID_SOCKET));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_EQ(0, closesocket(s));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST_F(Sockets, ResolveReportsWinsockCodes) {
    // getaddrinfo returns Winsock's codes, which the EAI_ names compare equal to, and sets the
    // last error to the same value.
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* results = nullptr;

    ASSERT_EQ(0, getaddrinfo("127.0.0.1", "8080", &hints, &results));
    ASSERT_NE(nullptr, results);
    ASSERT_EQ(AF_INET, results->ai_family);
    EXPECT_EQ(SOCK_STREAM, results->ai_socktype);
    EXPECT_EQ(8080, ntohs(reinterpret_cast<sockaddr_in*>(results->ai_addr)->sin_port));
    freeaddrinfo(results);

    results = nullptr;
    SetLastError(0xdeadbeef);
    int rc = getaddrinfo("127.0.0.1", "no-such-service-kvlumen", &hints, &results);
    EXPECT_EQ(WSATYPE_NOT_FOUND, rc);
    EXPECT_EQ(EAI_SERVICE, rc);
    EXPECT_EQ(WSATYPE_NOT_FOUND, WSAGetLastError());
    EXPECT_EQ(nullptr, results);

    SetLastError(0xdeadbeef);
    rc = getaddrinfo("not-a-number.invalid", "8080", &hints, &results);
    EXPECT_EQ(WSAHOST_NOT_FOUND, rc);
    EXPECT_EQ(EAI_NONAME, rc);
    EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetLastError());
}

TEST_F(Sockets, HostNameNeedsRoomForItsTerminator) {
    // gethostname fills a buffer that holds the name and its NUL, and refuses a shorter one
    // with WSAEFAULT.
    char name[256] = {};
    ASSERT_EQ(0, gethostname(name, sizeof(name))) << WSAGetLastError();
    size_t length = strlen(name);
    ASSERT_GT(length, 0u);
    char exact[256];
    memset(exact, 'x', sizeof(exact));
    EXPECT_EQ(0, gethostname(exact, static_cast<int>(length + 1)));
    EXPECT_STREQ(name, exact);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, gethostname(exact, static_cast<int>(length)));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(Sockets, FdSetKeepsEachSocketOnceAndAtMost64) {
    // FD_SET adds a socket once and ignores sockets beyond 64; FD_CLR removes and keeps order.
    fd_set set;
    FD_ZERO(&set);
    EXPECT_EQ(0u, set.fd_count);
    FD_SET(static_cast<SOCKET>(100), &set);
    FD_SET(static_cast<SOCKET>(100), &set);
    EXPECT_EQ(1u, set.fd_count);
    EXPECT_TRUE(FD_ISSET(static_cast<SOCKET>(100), &set));
    EXPECT_FALSE(FD_ISSET(static_cast<SOCKET>(104), &set));

    FD_ZERO(&set);
    for (SOCKET s = 1; s <= 70; ++s) FD_SET(s * 4, &set);
    EXPECT_EQ(64u, set.fd_count);
    EXPECT_EQ(64u, static_cast<unsigned>(FD_SETSIZE));
    EXPECT_TRUE(FD_ISSET(static_cast<SOCKET>(64 * 4), &set));
    EXPECT_FALSE(FD_ISSET(static_cast<SOCKET>(65 * 4), &set));

    FD_CLR(static_cast<SOCKET>(8), &set);
    EXPECT_EQ(63u, set.fd_count);
    EXPECT_FALSE(FD_ISSET(static_cast<SOCKET>(8), &set));
    EXPECT_EQ(static_cast<SOCKET>(4), set.fd_array[0]);
    EXPECT_EQ(static_cast<SOCKET>(12), set.fd_array[1]);
    FD_SET(static_cast<SOCKET>(65 * 4), &set);
    EXPECT_TRUE(FD_ISSET(static_cast<SOCKET>(65 * 4), &set));
}

TEST_F(Sockets, SelectTimeoutLeavesAnEmptySet) {
    // With nothing pending, select waits out its timeout, returns 0 and empties the set.
    u_short port = 0;
    ScopedSocket listener(ListenOnLoopback(AF_INET, &port));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener.get(), &set);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, SelectRead(&set, 200));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(0u, set.fd_count);
    EXPECT_GE(elapsed, std::chrono::milliseconds(180));
}

TEST_F(Sockets, SelectFindsTheListenerWithAConnection) {
    // Of an IPv4 and an IPv6 listener, select reports exactly the one with a pending
    // connection, and its count.
    u_short port4 = 0, port6 = 0;
    ScopedSocket listener4(ListenOnLoopback(AF_INET, &port4));
    ASSERT_TRUE(listener4.valid()) << WSAGetLastError();
    ScopedSocket listener6(ListenOnLoopback(AF_INET6, &port6));
    if (!listener6.valid()) GTEST_SKIP() << "no IPv6 loopback here: " << WSAGetLastError();

    ScopedSocket client6(ConnectToLoopback(AF_INET6, port6));
    ASSERT_TRUE(client6.valid()) << WSAGetLastError();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener4.get(), &set);
    FD_SET(listener6.get(), &set);
    ASSERT_EQ(1, SelectRead(&set, 5000));
    EXPECT_EQ(1u, set.fd_count);
    EXPECT_TRUE(FD_ISSET(listener6.get(), &set));
    EXPECT_FALSE(FD_ISSET(listener4.get(), &set));

    ScopedSocket client4(ConnectToLoopback(AF_INET, port4));
    ASSERT_TRUE(client4.valid()) << WSAGetLastError();
    ScopedSocket accepted6(accept(listener6.get(), nullptr, nullptr));
    ASSERT_TRUE(accepted6.valid()) << WSAGetLastError();
    FD_ZERO(&set);
    FD_SET(listener4.get(), &set);
    FD_SET(listener6.get(), &set);
    ASSERT_EQ(1, SelectRead(&set, 5000));
    EXPECT_TRUE(FD_ISSET(listener4.get(), &set));
    EXPECT_FALSE(FD_ISSET(listener6.get(), &set));
}

TEST_F(Sockets, SelectReportsDataWritabilityAndClose) {
    // A connection is readable once data or the peer's close arrives, and writable at once;
    // a socket ready in two sets counts twice.
    ScopedSocket client, server;
    ConnectedPair(&client, &server);
    if (HasFatalFailure()) return;

    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_SET(server.get(), &readable);
    EXPECT_EQ(0, SelectRead(&readable, 0));
    EXPECT_EQ(0u, readable.fd_count);

    ASSERT_EQ(3, send(client.get(), "abc", 3, 0));
    FD_ZERO(&readable);
    FD_SET(server.get(), &readable);
    FD_ZERO(&writable);
    FD_SET(server.get(), &writable);
    timeval wait = {5, 0};
    EXPECT_EQ(2, select(0, &readable, &writable, nullptr, &wait));
    EXPECT_TRUE(FD_ISSET(server.get(), &readable));
    EXPECT_TRUE(FD_ISSET(server.get(), &writable));
    EXPECT_EQ("abc", ReceiveExactly(server.get(), 3));

    client.reset();
    FD_ZERO(&readable);
    FD_SET(server.get(), &readable);
    EXPECT_EQ(1, SelectRead(&readable, 5000));
    char buffer[8];
    EXPECT_EQ(0, recv(server.get(), buffer, sizeof(buffer), 0));
}

TEST_F(Sockets, SelectRefusesEmptyAndClosedSets) {
    // select with no socket at all fails with WSAEINVAL; with a closed socket, WSAENOTSOCK.
    fd_set set;
    FD_ZERO(&set);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, SelectRead(&set, 0));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_EQ(0, closesocket(s));
    FD_SET(s, &set);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, SelectRead(&set, 0));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST_F(Sockets, ReceiveTimeoutIsInMilliseconds) {
    // SO_RCVTIMEO takes a DWORD of milliseconds, reads back the same, and a receive that waits
    // it out fails with WSAETIMEDOUT.
    ScopedSocket client, server;
    ConnectedPair(&client, &server);
    if (HasFatalFailure()) return;
    DWORD timeoutMs = 1500;
    ASSERT_EQ(0, setsockopt(server.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                            sizeof(timeoutMs)));
    DWORD readBack = 0;
    int length = sizeof(readBack);
    ASSERT_EQ(0, getsockopt(server.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&readBack), &length));
    EXPECT_EQ(1500u, readBack);
    EXPECT_EQ(static_cast<int>(sizeof(DWORD)), length);

    timeoutMs = 200;
    ASSERT_EQ(0, setsockopt(server.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                            sizeof(timeoutMs)));
    char buffer[4];
    auto start = std::chrono::steady_clock::now();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, recv(server.get(), buffer, sizeof(buffer), 0));
    EXPECT_EQ(WSAETIMEDOUT, WSAGetLastError());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST_F(Sockets, NonBlockingModeAndPendingBytes) {
    // FIONBIO makes an idle accept and receive fail with WSAEWOULDBLOCK; FIONREAD counts the
    // bytes waiting.
    u_short port = 0;
    ScopedSocket listener(ListenOnLoopback(AF_INET, &port));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    u_long on = 1;
    ASSERT_EQ(0, ioctlsocket(listener.get(), FIONBIO, &on));
    SetLastError(0xdeadbeef);
    ScopedSocket none(accept(listener.get(), nullptr, nullptr));
    EXPECT_FALSE(none.valid());
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());

    ScopedSocket client(ConnectToLoopback(AF_INET, port));
    ASSERT_TRUE(client.valid()) << WSAGetLastError();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener.get(), &set);
    ASSERT_EQ(1, SelectRead(&set, 5000));
    ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server.valid()) << WSAGetLastError();
    ASSERT_EQ(0, ioctlsocket(server.get(), FIONBIO, &on));
    char buffer[16];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, recv(server.get(), buffer, sizeof(buffer), 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());

    ASSERT_EQ(5, send(client.get(), "12345", 5, 0));
    FD_ZERO(&set);
    FD_SET(server.get(), &set);
    ASSERT_EQ(1, SelectRead(&set, 5000));
    u_long pending = 0;
    ASSERT_EQ(0, ioctlsocket(server.get(), FIONREAD, &pending));
    EXPECT_EQ(5u, pending);
}
