// LogSizeBench.cpp -- shows that a size-limited log keeps its size while a listener runs.
//
//   log_size_bench [events] [limit KB]     (default: 100000 events, 64 KB)
//
// Starts the listener in this process with the log "file,PATH,<limit>,5" (every trace line of
// every event) and a do-nothing event manager (the tests' one, registered from the module next
// to this program and unregistered at the end), sends the events over loopback from 8 clients, and looks at the log file's
// size after every event. Prints the largest size seen and exits non-zero when it reached twice
// the limit or a line in the file is not whole. On Linux the registry is a store of its own in
// the temporary folder.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Listener.h"


namespace {

const char kLoggingKey[] = "SOFTWARE\\Korvane\\KVLumen\\Logging";
const char kListenerKey[] = "SOFTWARE\\Korvane\\KVLumen\\Listener";
const int kClients = 8;

long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// One event: a request with a small Deliver body, answered with 200 before the connection closes.
bool SendEvent(unsigned short port, const std::string& request) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
              send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size());
    std::string answer;
    char buffer[1024];
    for (int n; ok && (n = recv(s, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    closesocket(s);
    return ok && answer.compare(0, 15, "HTTP/1.1 200 OK") == 0;
}

// Every line ends in CR LF and starts with the date of the line layout ("M/D/YY-").
bool AllLinesWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string all = text.str();
    if (all.empty() || all.compare(all.size() - 2, 2, "\r\n") != 0) return all.empty();
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find("\r\n", start);
        size_t slash = all.find('/', start);
        if (slash == std::string::npos || slash - start > 2 || all.find("-", start) > end) return false;
        start = end + 2;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long events = argc > 1 ? atol(argv[1]) : 100000;
    int limitKB = argc > 2 ? atoi(argv[2]) : 64;
    if (events <= 0) events = 100000;
    if (limitKB < 1 || limitKB > 1023) limitKB = 64;

    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    std::string folder = std::string(temp) + "kv-log-size-bench-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
#ifdef _WIN32
    folder += "\\";
    std::string manager = FolderOf(SelfPath()) + "KVEvTest.dll";
#else
    folder += "/";
    std::string manager = FolderOf(SelfPath()) + "KVEvTest.so";
    std::string store = folder + "registry.reg";
    setenv("KVLUMEN_REGISTRY", store.c_str(), 1);
#endif
    std::string log = folder + "listener.log";
    if (!CallRegistration(manager, true) ||
        !SetMachineString(kLoggingKey, "KVLUMEN.EventListener", "file," + log + "," + std::to_string(limitKB) + ",5") ||
        !SetMachineString(kListenerKey, "ports", "0")) {
        fprintf(stderr, "log_size_bench: cannot register %s or configure the log\n", manager.c_str());
        return 1;
    }

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    CListener* listener = nullptr;
    CListener::CreateInstance(&listener);
    BSTR info = nullptr;
    if (!listener || FAILED(listener->Start(&info))) {
        fprintf(stderr, "log_size_bench: the listener did not start\n");
        return 1;
    }
    unsigned short port = static_cast<unsigned short>(wcstol(info, nullptr, 10));
    SysFreeString(info);

    std::string body = "<Deliver>" + std::string(1024, 'e') + "</Deliver>";
    std::string request = "POST / HTTP/1.1\r\nHost: bench\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::atomic<long> next{0}, failed{0};
    std::atomic<long long> largest{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            while (next.fetch_add(1) < events) {
                if (!SendEvent(port, request)) ++failed;
                long long size = FileSize(log);
                for (long long seen = largest.load(); size > seen && !largest.compare_exchange_weak(seen, size);) {
                }
            }
        });
    }
    for (std::thread& client : clients) client.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    listener->Stop();
    listener->Release();
    WSACleanup();
    // What the registry held before is not known: the bench's own settings go again.
    DeleteMachineValue(kLoggingKey, "KVLUMEN.EventListener");
    DeleteMachineValue(kListenerKey, "ports");
    CallRegistration(manager, false);

    long long cap = 2LL * 1024 * limitKB;
    bool whole = AllLinesWhole(log);
    printf("events %ld (%ld failed) in %.1f s; log file,PATH,%d,5\n", events, failed.load(), seconds, limitKB);
    printf("largest size seen while running: %lld bytes (twice the limit: %lld); after close: %lld bytes; lines whole: %s\n",
           largest.load(), cap, FileSize(log), whole ? "yes" : "no");
    DeleteFileA(log.c_str());
#ifndef _WIN32
    DeleteFileA(store.c_str());
    DeleteFileA((store + ".lock").c_str());
#endif
    RemoveDirectoryA(folder.c_str());
    return largest.load() < cap && whole && failed.load() == 0 ? 0 : 1;
}
