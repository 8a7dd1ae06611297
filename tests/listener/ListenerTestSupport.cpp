// ListenerTestSupport.cpp -- loopback clients and the listener fixture.
#include "ListenerTestSupport.h"

#include <algorithm>

#include "AnsiText.h"

namespace kvtest {

bool HostNameIsLoopbackOnly() {
    char host[1024] = {};
    if (gethostname(host, sizeof(host)) != 0) return false;
    addrinfo* results = nullptr;
    if (getaddrinfo(host, "1", nullptr, &results) != 0) return false;
    bool loopback = results != nullptr;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) loopback = false;
        } else if (ai->ai_family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(ai->ai_addr);
            static const unsigned char kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
            if (memcmp(&in6->sin6_addr, kLoop6, 16) != 0) loopback = false;
        }
    }
    freeaddrinfo(results);
    return loopback;
}

unsigned short FreeLoopbackPort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned short port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        int length = sizeof(address);
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

SOCKET ConnectLoopback(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::string ReceiveAll(SOCKET s, DWORD timeoutMs) { return ReceiveCount(s, std::string::npos, timeoutMs); }

bool ClosedByPeer(SOCKET s) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval now = {0, 0};
    char byte;
    return select(0, &readSet, nullptr, nullptr, &now) == 1 && recv(s, &byte, 1, 0) <= 0;
}

std::string ReceiveCount(SOCKET s, size_t count, DWORD timeoutMs) {
    std::string received;
    DWORD start = GetTickCount();
    while (received.size() < count) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(s, &readSet);
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        timeval wait = {static_cast<long>((timeoutMs - elapsed) / 1000), static_cast<long>(((timeoutMs - elapsed) % 1000) * 1000)};
        if (select(0, &readSet, nullptr, nullptr, &wait) <= 0) break;
        char buffer[4096];
        int got = recv(s, buffer, static_cast<int>(std::min<size_t>(sizeof(buffer), count - received.size())), 0);
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

bool SendAll(SOCKET s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string AtLevel(int level, const std::string& message) {
    return "/" + std::to_string(level) + "] " + kComponentTag + "::" + message;
}

size_t CountOf(const std::string& haystack, const std::string& text) {
    size_t count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++count;
    return count;
}

void ListenerTest::SetUp() {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    // Where the host name reaches beyond loopback, the listener is told to listen on loopback
    // instead (as a host may): the tests run all the same and send nothing elsewhere.
    mOwnAddresses = !HostNameIsLoopbackOnly();
    if (mOwnAddresses) SetEnvironmentVariableA("KVLUMEN_LISTEN", "127.0.0.1");
    mLogPath = mDir.file("listener.log");
    ASSERT_TRUE(SetMachineString(kComponentLogKey, kComponentTag, "file," + mLogPath + ",5"));
    DeleteMachineKey(kListenerKey);
}

void ListenerTest::TearDown() {
    for (CListener* listener : mListeners) listener->Release();
    mListeners.clear();
    DeleteMachineKey(kListenerKey);
    DeleteMachineValue(kComponentLogKey, kComponentTag);
    if (mOwnAddresses) SetEnvironmentVariableA("KVLUMEN_LISTEN", nullptr);
    WSACleanup();
}

CListener* ListenerTest::NewListener() {
    CListener* listener = nullptr;
    EXPECT_EQ(S_OK, CListener::CreateInstance(&listener));
    if (listener) mListeners.push_back(listener);
    return listener;
}

std::string ListenerTest::Text(BSTR text) { return AnsiFromWide(text); }

}  // namespace kvtest
