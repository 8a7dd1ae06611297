// ListenerTests.cpp -- the listener object and engine on loopback: ports, start, stop, accept.
#include "ListenerTestSupport.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "ListenerSettings.h"
#include "ScopedSocket.h"

using namespace kvtest;

namespace {

// Starts `listener`, expecting success, and returns the port text.
std::string StartOk(CListener* listener) {
    BSTR info = nullptr;
    EXPECT_EQ(S_OK, listener->Start(&info));
    std::string text = ListenerTest::Text(info);
    SysFreeString(info);
    return text;
}

bool Reachable(const std::string& port) {
    SOCKET s = ConnectLoopback(static_cast<unsigned short>(atoi(port.c_str())));
    if (s == INVALID_SOCKET) return false;
    closesocket(s);
    return true;
}

}  // namespace

// A stop that comes before the accept loop's first wait ends the loop without accepting its
// wake-up. Tests about the wake-up first see one connection handled, so the loop is running.
void ListenerTest::WaitUntilAccepting(const std::string& port) {
    size_t handled = CountOf(Log(), "ENTER HandlingProc");
    ASSERT_TRUE(Reachable(port));
    ASSERT_TRUE(WaitFor([&] { return CountOf(Log(), "HandlingProc - Exiting") > handled; }));
}

TEST_F(ListenerTest, NoKeyFallsBackToReachableSystemPort) {
    // Without a port list the system chooses the port; its real number is reported and reachable.
    CListener* listener = NewListener();
    std::string port = StartOk(listener);
    EXPECT_NE("0", port);
    EXPECT_GT(atoi(port.c_str()), 0);
    WaitUntilAccepting(port);
    EXPECT_EQ(S_OK, listener->Stop());
    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("Ports to choose from"));
    EXPECT_EQ(std::string::npos, log.find("the wake-up was not acknowledged"))
        << "the stop reached its own fallback port\n" << log;
    EXPECT_NE(std::string::npos, log.find("EXIT: EventListenerThread::~EventListenerThread"));
}

TEST_F(ListenerTest, EmptyAndDwordValuesMeanNoList) {
    // An empty value is logged as an empty list before the fallback; a REG_DWORD value is no list.
    ASSERT_TRUE(SetMachineString(kListenerKey, "ports", ""));
    CListener* listener = NewListener();
    EXPECT_NE("0", StartOk(listener));
    listener->Stop();
    EXPECT_NE(std::string::npos, Log().find("EventListenerThread::selectAPort: Ports to choose from \r\n"));

    ASSERT_TRUE(SetMachineDword(kListenerKey, "ports", 8080));
    size_t before = CountOf(Log(), "Ports to choose from");
    EXPECT_NE("0", StartOk(listener));
    listener->Stop();
    EXPECT_EQ(before, CountOf(Log(), "Ports to choose from"));
}

TEST_F(ListenerTest, EntriesAreTriedInOrder) {
    // Runs of commas are one separator; a rejected entry is logged and the next one is taken.
    unsigned short port = FreeLoopbackPort();
    ASSERT_TRUE(SetMachineString(kListenerKey, "ports", ",,kv-no-such-service,," + std::to_string(port) + ",,"));
    CListener* listener = NewListener();
    EXPECT_EQ(std::to_string(port), StartOk(listener));
    EXPECT_TRUE(Reachable(std::to_string(port)));
    listener->Stop();
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("EventListenerThread::createSocketArray: Failed to getaddrinfo"));
    EXPECT_EQ(2u, CountOf(log, "ENTER EventListenerThread::createSocketArray")) << "only the two entries were tried";
}

TEST_F(ListenerTest, EntriesThatAreNoPortNumberAreSkipped) {
    // Only a whole number from 0 to 65535 is a port: a number the system would wrap, a service
    // name, a sign or a blank makes an entry unusable, and each fails like a rejected lookup. The
    // port handed out is the one the sockets are bound to, written plainly.
    unsigned short port = FreeLoopbackPort();
    std::string digits = std::to_string(port);
    ASSERT_TRUE(SetMachineString(kListenerKey, "ports", "99999,http,-1, " + digits + ",+" + digits + ",00" + digits));
    CListener* listener = NewListener();
    EXPECT_EQ(digits, StartOk(listener));
    EXPECT_TRUE(Reachable(digits));
    listener->Stop();
    std::string log = Log();
    EXPECT_EQ(5u, CountOf(log, "EventListenerThread::createSocketArray: Failed to getaddrinfo")) << log;
    EXPECT_EQ(6u, CountOf(log, "ENTER EventListenerThread::createSocketArray"));
}

TEST_F(ListenerTest, LongListIsReadCompletely) {
    // A list longer than 1024 bytes is read whole: its last entry is the one that works.
    std::string list;
    for (int i = 0; i < 120; ++i) list += "kv-no-such-service-" + std::to_string(i) + ",";
    ASSERT_GT(list.size(), 2048u);
    unsigned short port = FreeLoopbackPort();
    list += std::to_string(port);
    ASSERT_TRUE(SetMachineString(kListenerKey, "ports", list));
    CListener* listener = NewListener();
    EXPECT_EQ(std::to_string(port), StartOk(listener));
    listener->Stop();
}

TEST_F(ListenerTest, PortInUseOnEveryAddressIsSkipped) {
    // When the first port is taken on every address of the host name, the second one is used.
    char host[1024] = {};
    ASSERT_EQ(0, gethostname(host, sizeof(host)));
    unsigned short busy = FreeLoopbackPort();
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    ASSERT_EQ(0, getaddrinfo(host, std::to_string(busy).c_str(), &hints, &results));
    std::vector<SOCKET> holders;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 && listen(s, 5) == 0)
            holders.push_back(s);
        else
            closesocket(s);
    }
    freeaddrinfo(results);
    ASSERT_FALSE(holders.empty());
    unsigned short second = FreeLoopbackPort();
    ASSERT_TRUE(SetMachineString(kListenerKey, "ports", std::to_string(busy) + "," + std::to_string(second)));
    CListener* listener = NewListener();
    EXPECT_EQ(std::to_string(second), StartOk(listener));
    listener->Stop();
    for (SOCKET s : holders) closesocket(s);
}

TEST_F(ListenerTest, SecondStartReusesRunningListener) {
    // Two starts report the same port and run one listener thread.
    CListener* listener = NewListener();
    std::string first = StartOk(listener);
    std::string second = StartOk(listener);
    EXPECT_EQ(first, second);
    listener->Stop();
    EXPECT_EQ(1u, CountOf(Log(), "ENTER EventListenerThread::OnRun"));
}

TEST_F(ListenerTest, StopWithoutStartAndTwice) {
    // Stop on a fresh object succeeds and does nothing; so does a second stop.
    CListener* listener = NewListener();
    EXPECT_EQ(S_OK, listener->Stop());
    StartOk(listener);
    EXPECT_EQ(S_OK, listener->Stop());
    EXPECT_EQ(S_OK, listener->Stop());
    EXPECT_EQ(1u, CountOf(Log(), "ENTER EventListenerThread::Stop"));
}

TEST_F(ListenerTest, NullListenInfoIsRefused) {
    // Start with no place for the port text fails with E_POINTER and starts nothing.
    CListener* listener = NewListener();
    EXPECT_EQ(E_POINTER, listener->Start(nullptr));
    EXPECT_EQ(0u, CountOf(Log(), "ENTER EventListenerThread::OnRun"));
}

TEST_F(ListenerTest, RestartTakesTheSamePort) {
    // Start, Stop, Start on one configured port: both starts get it, and it is reachable again.
    unsigned short port = FreeLoopbackPort();
    ASSERT_TRUE(SetMachineString(kListenerKey, "ports", std::to_string(port)));
    CListener* listener = NewListener();
    EXPECT_EQ(std::to_string(port), StartOk(listener));
    SOCKET client = ConnectLoopback(port);
    ASSERT_NE(INVALID_SOCKET, client);
    closesocket(client);
    EXPECT_EQ(S_OK, listener->Stop());
    EXPECT_EQ(std::to_string(port), StartOk(listener));
    EXPECT_TRUE(Reachable(std::to_string(port)));
    EXPECT_EQ(S_OK, listener->Stop());
    EXPECT_EQ(2u, CountOf(Log(), "EXIT: EventListenerThread::~EventListenerThread"));
}

TEST_F(ListenerTest, StopIsWokenByItsOwnWakeUp) {
    // The stop is acknowledged without sitting out its wait; the thread ends by itself (exit code
    // 0) and the listener is destroyed.
    CListener* listener = NewListener();
    WaitUntilAccepting(StartOk(listener));
    EXPECT_EQ(S_OK, listener->Stop());
    std::string log = Log();
    // Acknowledged by the handler of the wake-up, or by the loop itself when it saw the shutdown
    // first; either way the stop did not sit out its wait.
    EXPECT_EQ(std::string::npos, log.find("the wake-up was not acknowledged")) << log;
    size_t stopped = log.find("EXIT: EventListenerThread::Stop");
    size_t exitLine = log.find("EventListenerThread::OnRun - Exiting (hr: 0)");
    size_t destroyed = log.find("EXIT: EventListenerThread::~EventListenerThread");
    ASSERT_NE(std::string::npos, stopped);
    ASSERT_NE(std::string::npos, exitLine);
    ASSERT_NE(std::string::npos, destroyed);
    EXPECT_LT(exitLine, destroyed);
    EXPECT_LT(stopped, destroyed);
}

TEST_F(ListenerTest, AcceptsWhileEarlierHandlersRun) {
    // Connections are accepted one after another while earlier handlers still wait for data.
    CListener* listener = NewListener();
    unsigned short port = static_cast<unsigned short>(atoi(StartOk(listener).c_str()));
    std::vector<SOCKET> clients;
    for (int i = 0; i < 6; ++i) {
        SOCKET s = ConnectLoopback(port);
        ASSERT_NE(INVALID_SOCKET, s);
        clients.push_back(s);
    }
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), "ENTER HandlingProc") >= 6; }));
    for (SOCKET s : clients) closesocket(s);
    EXPECT_EQ(S_OK, listener->Stop());
}

TEST_F(ListenerTest, ConcurrentStartsAndStopsStayConsistent) {
    // Starts and stops from several threads serialise; afterwards the object still works.
    CListener* listener = NewListener();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([listener, t, &failures] {
            for (int i = 0; i < 3; ++i) {
                if ((i + t) % 2 == 0) {
                    BSTR info = nullptr;
                    if (listener->Start(&info) != S_OK || !info || !info[0]) ++failures;
                    SysFreeString(info);
                } else if (listener->Stop() != S_OK) {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    std::string port = StartOk(listener);
    EXPECT_TRUE(Reachable(port));
    EXPECT_EQ(S_OK, listener->Stop());
    std::string log = Log();
    EXPECT_EQ(CountOf(log, "ENTER EventListenerThread::OnRun"), CountOf(log, "EXIT: EventListenerThread::~EventListenerThread"))
        << "every listener that ran was destroyed";
}

TEST_F(ListenerTest, DualStackHostListensOnBoth) {
    // When the host name resolves to an IPv4 and an IPv6 address, both get a listening socket on
    // the same port, both are reachable, and the stop still ends the listener.
    if (mOwnAddresses) GTEST_SKIP() << "the host name reaches beyond loopback here: the listener is kept on loopback";
    char host[1024] = {};
    ASSERT_EQ(0, gethostname(host, sizeof(host)));
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    ASSERT_EQ(0, getaddrinfo(host, "1", &hints, &results));
    bool v4 = false, v6 = false;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        v4 = v4 || ai->ai_family == AF_INET;
        v6 = v6 || ai->ai_family == AF_INET6;
    }
    freeaddrinfo(results);
    if (!v4 || !v6) GTEST_SKIP() << "the host name " << host << " does not resolve to both families here";

    CListener* listener = NewListener();
    std::string port = StartOk(listener);
    EXPECT_NE("0", port);
    EXPECT_TRUE(Reachable(port));
    SOCKET s6 = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s6);
    sockaddr_in6 loop6 = {};
    loop6.sin6_family = AF_INET6;
    loop6.sin6_addr.s6_addr[15] = 1;
    loop6.sin6_port = htons(static_cast<unsigned short>(atoi(port.c_str())));
    EXPECT_EQ(0, connect(s6, reinterpret_cast<sockaddr*>(&loop6), sizeof(loop6))) << "the IPv6 socket listens";
    closesocket(s6);
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), "HandlingProc - Exiting") >= 2; }));
    EXPECT_EQ(S_OK, listener->Stop());
    EXPECT_EQ(1u, CountOf(Log(), "EXIT: EventListenerThread::~EventListenerThread"));
}

TEST_F(ListenerTest, LimitSettingsOutOfRangeUseDefaults) {
    // Values in range are taken; one out of range or of another type gives the default and a
    // level-2 line naming it; an absent one gives the default silently.
    NewListener();  // opens the log
    ListenerSettings absent = ListenerSettings::Read();
    EXPECT_EQ(1024u, absent.maxRequestKB);
    EXPECT_EQ(60000u, absent.requestTimeoutMs);
    EXPECT_EQ(512u, absent.maxConnections);
    ASSERT_TRUE(SetMachineDword(kListenerKey, "maxRequestKB", 262144));
    ASSERT_TRUE(SetMachineDword(kListenerKey, "requestTimeoutMs", 1000));
    ASSERT_TRUE(SetMachineDword(kListenerKey, "maxConnections", 16384));
    ListenerSettings taken = ListenerSettings::Read();
    EXPECT_EQ(262144u, taken.maxRequestKB);
    EXPECT_EQ(1000u, taken.requestTimeoutMs);
    EXPECT_EQ(16384u, taken.maxConnections);
    EXPECT_EQ(std::string::npos, Log().find("ListenerSettings::Read"));

    ASSERT_TRUE(SetMachineDword(kListenerKey, "maxRequestKB", 0));
    ASSERT_TRUE(SetMachineDword(kListenerKey, "requestTimeoutMs", 3600001));
    DeleteMachineValue(kListenerKey, "maxConnections");
    ASSERT_TRUE(SetMachineString(kListenerKey, "maxConnections", "100"));
    ListenerSettings fallen = ListenerSettings::Read();
    EXPECT_EQ(1024u, fallen.maxRequestKB);
    EXPECT_EQ(60000u, fallen.requestTimeoutMs);
    EXPECT_EQ(512u, fallen.maxConnections);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(AtLevel(2, "ListenerSettings::Read: maxRequestKB 0 is out of its range "
                                                      "1..262144; the default 1024 is used")));
    EXPECT_NE(std::string::npos, log.find(AtLevel(2, "ListenerSettings::Read: requestTimeoutMs 3600001 is out of its "
                                                      "range 1000..3600000; the default 60000 is used")));
    EXPECT_NE(std::string::npos,
              log.find(AtLevel(2, "ListenerSettings::Read: maxConnections is not a REG_DWORD; the default 512 is used")));
}

#ifndef _WIN32
namespace {

std::string HttpGet(unsigned short port) {
    ScopedSocket s(ConnectLoopback(port));
    if (!s.valid() || !SendAll(s.get(), "GET / HTTP/1.1\r\nHost: p\r\n\r\n")) return std::string();
    return ReceiveAll(s.get());
}

unsigned short PortOf(CListener* listener, HRESULT* hr) {
    BSTR info = nullptr;
    *hr = listener->Start(&info);
    unsigned short port = info ? static_cast<unsigned short>(wcstol(info, nullptr, 10)) : 0;
    SysFreeString(info);
    return port;
}

int HighestDescriptor() {
    int highest = 2;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(folder)) highest = std::max(highest, atoi(entry->d_name));
        closedir(folder);
    }
    return highest;
}

}  // namespace

// UndefinedBehaviorSanitizer checks an object's type through a pipe the first time it meets the
// type; with every descriptor taken that check fails and reports a fault where there is none. A
// handler thread may well end in that time (the loop's end ends the idle ones): a thread that
// ended before has shown it the thread objects' type.
DWORD WINAPI EndAtOnce(LPVOID) { return 0; }

KV_TEST_CHILD(descriptors_run_out) {
    HANDLE ended = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
    WaitForSingleObject(ended, INFINITE);
    CloseHandle(ended);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    CListener* listener = nullptr;
    if (CListener::CreateInstance(&listener) != S_OK) return 10;
    HRESULT hr;
    unsigned short port = PortOf(listener, &hr);
    if (hr != S_OK) return 11;
    SOCKET waiting = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET last = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);

    // Every descriptor below the limit in use: the listener has nowhere to put a connection.
    rlimit original;
    getrlimit(RLIMIT_NOFILE, &original);
    rlimit scarce = original;
    scarce.rlim_cur = static_cast<rlim_t>(HighestDescriptor() + 1);
    std::vector<int> fillers;
    if (setrlimit(RLIMIT_NOFILE, &scarce) != 0) return 12;
    for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
    if (connect(waiting, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 13;
    Sleep(1500);
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &original);
    // The printer waited in the backlog and is answered now (503 here, as no event manager is
    // registered: health says so).
    if (!SendAll(waiting, "GET / HTTP/1.1\r\nHost: p\r\n\r\n")) return 14;
    if (ReceiveAll(waiting).rfind("HTTP/1.1 ", 0) != 0) return 15;
    closesocket(waiting);

    // Without any descriptor even the wait for connections fails: the loop ends, and the next
    // Start brings up a listener that serves instead of answering with the dead one's port.
    scarce.rlim_cur = 0;
    if (setrlimit(RLIMIT_NOFILE, &scarce) != 0) return 16;
    connect(last, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    Sleep(1000);
    setrlimit(RLIMIT_NOFILE, &original);
    closesocket(last);
    unsigned short restarted = PortOf(listener, &hr);
    if (hr != S_OK) return 17;
    if (HttpGet(restarted).rfind("HTTP/1.1 ", 0) != 0) return 18;
    listener->Stop();
    listener->Release();
    WSACleanup();
    return 0;
}

TEST_F(ListenerTest, DescriptorShortagePausesAcceptingAndEndsNothing) {
    // While descriptors run out the accept loop pauses 100 ms after each failure and reports once a
    // second at most; the waiting printer is served once they come back. A wait that cannot work at
    // all ends the loop with a level-1 line, and the next Start replaces the listener.
    EXPECT_EQ(0u, RunChild("descriptors_run_out", "", 60000));
    std::string log = Log();
    size_t reports = CountOf(log, AtLevel(1, "EventListenerThread::setListenPort: accept() failed (error 10024), "));
    EXPECT_GE(reports, 1u) << log;
    EXPECT_LE(reports, 4u) << "at most one report a second";
    unsigned long failures = 0;
    for (size_t at = log.find("accept() failed (error 10024), "); at != std::string::npos;
         at = log.find("accept() failed (error 10024), ", at + 1))
        failures += strtoul(log.c_str() + at + 31, nullptr, 10);
    EXPECT_LE(failures, 40u) << "one attempt per pause of 100 ms, not a busy loop";
    EXPECT_NE(std::string::npos, log.find(AtLevel(1, "EventListenerThread::setListenPort select() call failed")));
    EXPECT_EQ(2u, CountOf(log, "ENTER EventListenerThread::OnRun"));
}
#endif

#ifndef _WIN32
namespace {

const int kNoPrivateNetwork = 77;

// Runs one interface request on this network namespace's loopback interface.
bool LoopbackRequest(unsigned long request, ifreq& data) {
    int s = (socket)(AF_INET, SOCK_DGRAM, 0);  // the system's socket, not the Winsock one
    if (s < 0) return false;
    strncpy(data.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, request, &data) == 0;
    ::close(s);
    return ok;
}

bool BringLoopbackUp() {
    ifreq data = {};
    if (!LoopbackRequest(SIOCGIFFLAGS, data)) return false;
    data.ifr_flags |= IFF_UP;
    return LoopbackRequest(SIOCSIFFLAGS, data);
}

// Gives loopback its address (127.0.0.1/8) or takes it away ("0.0.0.0"): without it, connects
// to 127.x fail at once as unreachable, while sockets bound there stay open.
bool SetLoopbackAddress(const char* address) {
    ifreq data = {};
    auto* in = reinterpret_cast<sockaddr_in*>(&data.ifr_addr);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, address, &in->sin_addr);
    return LoopbackRequest(SIOCSIFADDR, data);
}

}  // namespace

// In a network namespace of its own (never the machine's): a listener whose wake-up cannot
// arrive, because loopback lost its address under it, is stopped all the same.
KV_TEST_CHILD(stop_without_wake_up) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 || !BringLoopbackUp()) return kNoPrivateNetwork;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 10;
    CListener* listener = nullptr;
    if (CListener::CreateInstance(&listener) != S_OK) return 11;
    BSTR info = nullptr;
    if (listener->Start(&info) != S_OK) return 12;
    unsigned short port = static_cast<unsigned short>(wcstol(info, nullptr, 10));
    SysFreeString(info);
    SOCKET probe = ConnectLoopback(port);  // the accept loop runs: it takes this connection
    if (probe == INVALID_SOCKET) return 13;
    closesocket(probe);
    Sleep(200);
    if (!SetLoopbackAddress("0.0.0.0")) return 14;
    HRESULT stopped = listener->Stop();
    if (!SetLoopbackAddress("127.0.0.1")) return 15;
    // The object kept its listener; the final release stops it again, now reachable.
    listener->Release();
    WSACleanup();
    return stopped == S_OK ? 0 : 20;
}

TEST_F(ListenerTest, StopWithoutItsWakeUpStillEndsTheThread) {
    // The wake-up connection cannot arrive, yet the stop ends the accept loop (its own stop signal
    // wakes it), says nothing went wrong and destroys the listener.
    DWORD code = RunChild("stop_without_wake_up", "", 60000);
    if (code == kNoPrivateNetwork) GTEST_SKIP() << "no private network namespace can be made here";
    EXPECT_EQ(0u, code);
    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("the listener thread did not end within")) << log;
    EXPECT_NE(std::string::npos, log.find("EXIT: EventListenerThread::~EventListenerThread"));
}
#endif
