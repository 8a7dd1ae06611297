// SocketsPosixTests.cpp -- what only the POSIX sockets layer must get right: high descriptors,
// SIGPIPE, TIME_WAIT reuse, signals, close-on-exec, descriptor leaks, and living beside the
// C++ standard headers.
#include <winsock2.h>
#include <ws2tcpip.h>

// Included after the redirections on purpose: they must survive them.
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "ScopedSocket.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>

namespace {

sockaddr_in LoopbackV4(u_short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

u_short PortOf(SOCKET s) {
    sockaddr_in address = {};
    int length = sizeof(address);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// Bound through the layer's bind on 127.0.0.1:`port` (0: the system picks) and listening.
SOCKET Listen(u_short port) {
    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = LoopbackV4(port);
    if (!s.valid() || bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s.get(), SOMAXCONN) != 0)
        return INVALID_SOCKET;
    return s.release();
}

SOCKET Connect(u_short port) {
    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = LoopbackV4(port);
    if (!s.valid() || connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return INVALID_SOCKET;
    return s.release();
}

int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

// SIGUSR1 with a handler that does nothing and no SA_RESTART, so blocking calls see EINTR.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action = {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &mPrevious);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &mPrevious, nullptr); }

private:
    struct sigaction mPrevious;
};

class SocketsPosix : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &mData)); }
    void TearDown() override { EXPECT_EQ(0, WSACleanup()); }
    WSADATA mData;
};

}  // namespace

TEST_F(SocketsPosix, SelectSeesDescriptorsAbove1023) {
    // select is not limited by the system's FD_SETSIZE: a listener at descriptor 1500 reports
    // its pending connection.
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 1501) GTEST_SKIP() << "hard limit " << saved.rlim_max;
    struct rlimit raised = saved;
    raised.rlim_cur = saved.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) GTEST_SKIP() << "cannot raise the descriptor limit";

    ScopedSocket listener(Listen(0));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    int high = fcntl(static_cast<int>(listener.get()), F_DUPFD_CLOEXEC, 1500);
    if (high < 0) {
        setrlimit(RLIMIT_NOFILE, &saved);
        GTEST_SKIP() << "cannot place a descriptor at 1500";
    }
    ScopedSocket highListener(static_cast<SOCKET>(high));
    EXPECT_GE(high, 1500);
    ScopedSocket client(Connect(PortOf(listener.get())));
    EXPECT_TRUE(client.valid()) << WSAGetLastError();

    fd_set set;
    FD_ZERO(&set);
    FD_SET(highListener.get(), &set);
    timeval wait = {5, 0};
    EXPECT_EQ(1, select(0, &set, nullptr, nullptr, &wait));
    EXPECT_TRUE(FD_ISSET(highListener.get(), &set));
    ScopedSocket accepted(accept(highListener.get(), nullptr, nullptr));
    EXPECT_TRUE(accepted.valid()) << WSAGetLastError();

    highListener.reset();
    setrlimit(RLIMIT_NOFILE, &saved);
}

// Child of SendToClosedPeerRaisesNoSignal: 0 when send failed with a reset, 1 otherwise; a
// SIGPIPE ends it by the signal instead.
static int SendUntilRefused() {
    signal(SIGPIPE, SIG_DFL);
    ScopedSocket listener(Listen(0));
    ScopedSocket client(Connect(PortOf(listener.get())));
    ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    if (!client.valid() || !server.valid()) return 2;
    server.reset();
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (send(client.get(), "x", 1, 0) == SOCKET_ERROR)
            return WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAECONNABORTED ? 0 : 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 1;
}

TEST_F(SocketsPosix, SendToClosedPeerRaisesNoSignal) {
    // A send to a connection the peer closed fails with WSAECONNRESET; SIGPIPE's default action
    // would kill the process instead.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(SendUntilRefused()), ::testing::ExitedWithCode(0), "");
}

TEST_F(SocketsPosix, ListenerRebindsPortInTimeWait) {
    // A listener can bind its port again while an earlier connection on it is in TIME_WAIT,
    // which a plain POSIX bind refuses.
    ScopedSocket listener(Listen(0));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    u_short port = PortOf(listener.get());
    ScopedSocket client(Connect(port));
    ASSERT_TRUE(client.valid()) << WSAGetLastError();
    ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server.valid()) << WSAGetLastError();
    // The server side closes first, so its end of the connection goes to TIME_WAIT.
    server.reset();
    char byte;
    EXPECT_EQ(0, recv(client.get(), &byte, 1, 0));
    client.reset();
    listener.reset();

    sockaddr_in address = LoopbackV4(port);
    int plain = (socket)(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(plain, 0);
    int plainBind = ::bind(plain, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int plainError = errno;
    close(plain);
    ASSERT_EQ(-1, plainBind) << "no TIME_WAIT connection to test with";
    ASSERT_EQ(EADDRINUSE, plainError);

    ScopedSocket again(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(again.valid());
    EXPECT_EQ(0, bind(again.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address))) << WSAGetLastError();
    EXPECT_EQ(0, listen(again.get(), SOMAXCONN)) << WSAGetLastError();
    int reuse = 0;
    int length = sizeof(reuse);
    EXPECT_EQ(0, getsockopt(again.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&reuse), &length));
    EXPECT_NE(0, reuse);
}

TEST_F(SocketsPosix, SecondListenerOnABusyPortFails) {
    // The reuse flag does not let a second listener take a port that is listening already.
    ScopedSocket first(Listen(0));
    ASSERT_TRUE(first.valid()) << WSAGetLastError();
    u_short port = PortOf(first.get());
    ScopedSocket second(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(second.valid());
    sockaddr_in address = LoopbackV4(port);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, bind(second.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
}

TEST_F(SocketsPosix, SelectWaitsOutItsTimeoutThroughSignals) {
    // Signals during select neither end the wait early nor restart it from the full timeout.
    InterruptingSignal handler;
    ScopedSocket listener(Listen(0));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    pthread_t selecting = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        // Signals keep coming for longer than the timeout: a select that restarted its full
        // wait after each one would end only after the last.
        for (int i = 0; i < 20 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            pthread_kill(selecting, SIGUSR1);
        }
    });
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener.get(), &set);
    timeval wait = {0, 500000};
    auto start = std::chrono::steady_clock::now();
    int rc = select(0, &set, nullptr, nullptr, &wait);
    auto elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    signaller.join();
    EXPECT_EQ(0, rc) << WSAGetLastError();
    EXPECT_EQ(0u, set.fd_count);
    EXPECT_GE(elapsed, std::chrono::milliseconds(490));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1100));
}

TEST_F(SocketsPosix, ReceiveReportsInterruption) {
    // A signal that interrupts a waiting recv makes it fail with WSAEINTR.
    InterruptingSignal handler;
    ScopedSocket listener(Listen(0));
    ScopedSocket client(Connect(PortOf(listener.get())));
    ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server.valid() && client.valid()) << WSAGetLastError();
    pthread_t receiving = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        // Repeats, since a signal that lands before recv blocks is lost; after 5 s data ends the
        // wait so that a faulty layer fails the test instead of hanging it.
        for (int i = 0; i < 100 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done) pthread_kill(receiving, SIGUSR1);
        }
        if (!done) send(client.get(), "x", 1, 0);
    });
    char byte;
    SetLastError(0xdeadbeef);
    int rc = recv(server.get(), &byte, 1, 0);
    int error = WSAGetLastError();
    done = true;
    signaller.join();
    EXPECT_EQ(SOCKET_ERROR, rc);
    EXPECT_EQ(WSAEINTR, error);
}

TEST_F(SocketsPosix, SocketsAreCloseOnExec) {
    // Created and accepted sockets are close-on-exec, so spawned processes inherit none.
    ScopedSocket listener(Listen(0));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    ScopedSocket client(Connect(PortOf(listener.get())));
    ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(client.valid() && server.valid()) << WSAGetLastError();
    for (SOCKET s : {listener.get(), client.get(), server.get()})
        EXPECT_NE(0, fcntl(static_cast<int>(s), F_GETFD) & FD_CLOEXEC) << "socket " << s;
}

TEST_F(SocketsPosix, CloseSocketLeavesOtherDescriptorsAlone) {
    // closesocket refuses a descriptor that is no socket (here a pipe) and leaves it open.
    int pipeEnds[2];
    ASSERT_EQ(0, pipe2(pipeEnds, O_CLOEXEC));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, closesocket(static_cast<SOCKET>(pipeEnds[0])));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_NE(-1, fcntl(pipeEnds[0], F_GETFD));
    u_long on = 1;
    EXPECT_EQ(SOCKET_ERROR, ioctlsocket(static_cast<SOCKET>(pipeEnds[1]), FIONBIO, &on));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST_F(SocketsPosix, ReusedDescriptorNumbersAreCheckedAfresh) {
    // The layer remembers which descriptors are its connections; a number closesocket gave back
    // and the system hands out again is judged by what it is now: a pipe is refused, a listening
    // socket cannot be shut down.
    ScopedSocket listener(Listen(0));
    ASSERT_TRUE(listener.valid()) << WSAGetLastError();
    for (int kind = 0; kind < 2; ++kind) {
        ScopedSocket client(Connect(PortOf(listener.get())));
        SOCKET server = accept(listener.get(), nullptr, nullptr);
        ASSERT_TRUE(client.valid() && server != INVALID_SOCKET) << WSAGetLastError();
        ASSERT_EQ(0, closesocket(server));
        if (kind == 0) {
            int pipeEnds[2];
            ASSERT_EQ(0, pipe2(pipeEnds, O_CLOEXEC));
            ASSERT_EQ(static_cast<int>(server), pipeEnds[0]) << "the system took another number";
            SetLastError(0xdeadbeef);
            EXPECT_EQ(SOCKET_ERROR, closesocket(server));
            EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
            EXPECT_NE(-1, fcntl(pipeEnds[0], F_GETFD)) << "the pipe was closed";
            close(pipeEnds[0]);
            close(pipeEnds[1]);
        } else {
            ScopedSocket second(Listen(0));
            ASSERT_EQ(server, second.get()) << "the system took another number";
            SetLastError(0xdeadbeef);
            EXPECT_EQ(SOCKET_ERROR, shutdown(second.get(), SD_BOTH));
            EXPECT_EQ(WSAENOTCONN, WSAGetLastError());
            ScopedSocket third(Connect(PortOf(second.get())));
            EXPECT_TRUE(third.valid()) << "the second listener stopped listening";
        }
    }
}

TEST_F(SocketsPosix, CallsLeakNoDescriptors) {
    // Successful and failing calls alike leave the number of open descriptors as it was.
    int before = OpenDescriptors();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 20; ++round) {
        ScopedSocket listener(Listen(0));
        ASSERT_TRUE(listener.valid()) << WSAGetLastError();
        u_short port = PortOf(listener.get());
        ScopedSocket client(Connect(port));
        sockaddr_in peer;
        int peerLength = sizeof(peer);
        ScopedSocket server(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength));
        ASSERT_TRUE(client.valid() && server.valid()) << WSAGetLastError();
        ASSERT_EQ(1, send(client.get(), "x", 1, 0));
        fd_set set;
        FD_ZERO(&set);
        FD_SET(server.get(), &set);
        FD_SET(listener.get(), &set);
        timeval wait = {5, 0};
        EXPECT_EQ(1, select(0, &set, nullptr, nullptr, &wait));
        char byte;
        EXPECT_EQ(1, recv(server.get(), &byte, 1, 0));
        EXPECT_EQ(0, shutdown(server.get(), SD_BOTH));

        // Failures: a port in use, a refused connection, lookups good and bad.
        ScopedSocket busy(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in taken = LoopbackV4(port);
        EXPECT_EQ(SOCKET_ERROR, bind(busy.get(), reinterpret_cast<sockaddr*>(&taken), sizeof(taken)));
        listener.reset();
        ScopedSocket refused(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        ScopedSocket holder(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in any = LoopbackV4(0);
        ASSERT_EQ(0, bind(holder.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)));
        sockaddr_in closed = LoopbackV4(PortOf(holder.get()));
        EXPECT_EQ(SOCKET_ERROR, connect(refused.get(), reinterpret_cast<sockaddr*>(&closed), sizeof(closed)));
        addrinfo* results = nullptr;
        if (getaddrinfo("localhost", "8080", nullptr, &results) == 0) freeaddrinfo(results);
        EXPECT_NE(0, getaddrinfo("127.0.0.1", "no-such-service-kvlumen", nullptr, &results));
    }
    EXPECT_EQ(before, OpenDescriptors());
}

TEST_F(SocketsPosix, SocketOutlivingTheLastCleanupStillCloses) {
    // After the last WSACleanup, calls on a remaining socket and lookups fail with
    // WSANOTINITIALISED, as Windows documents them (Wine lets the lookups pass), but closesocket
    // still releases the descriptor (Windows would have closed it in the cleanup).
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_EQ(0, WSACleanup());
    ASSERT_EQ(0, WSACleanup());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, send(s, "x", 1, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {0, 0};
    EXPECT_EQ(SOCKET_ERROR, select(0, &set, nullptr, nullptr, &wait));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    addrinfo* results = nullptr;
    EXPECT_EQ(WSANOTINITIALISED, getaddrinfo("127.0.0.1", "80", nullptr, &results));
    char name[256];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, gethostname(name, sizeof(name)));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
    EXPECT_EQ(-1, fcntl(static_cast<int>(s), F_GETFD));
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));  // the fixture's, undone in TearDown
}

TEST_F(SocketsPosix, StandardHeadersSurviveTheRedirects) {
    // std::bind, futures, streams and filesystem names still work after <winsock2.h>, and an
    // unqualified bind on a SOCKET still reaches the layer.
    auto add = std::bind([](int a, int b) { return a + b; }, std::placeholders::_1, 2);
    std::future<int> later = std::async(std::launch::async, add, 40);
    std::ostringstream text;
    text << later.get();
    EXPECT_EQ("42", text.str());
    EXPECT_NE(std::filesystem::file_type::socket, std::filesystem::file_type::regular);
    std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);

    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(s.valid());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SOCKET_ERROR, bind(s.get(), nullptr, 0));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}
