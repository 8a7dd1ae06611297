// RequestBench.cpp -- times requests of 1 MiB and 64 MiB through a running listener, to the spool.
//
//   request_bench [sizes in MiB...]     (default: 1 64)
//
// Starts the listener in this process on a system-chosen port, with our spool event manager
// (registered from the module next to this program) spooling into a temporary folder, and for
// each size sends one length-framed and one chunked request over loopback. A time runs from the
// connect to the moment the message file appears in the spool: receive, framing, reply, split,
// widening and delivery together.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Listener.h"


namespace {

const char kSpoolKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager";
const char kListenerKey[] = "SOFTWARE\\Korvane\\KVLumen\\Listener";

double TimeRequest(unsigned short port, const std::string& request, const std::string& spool, size_t expected) {
    auto start = std::chrono::steady_clock::now();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return -1;
    size_t sent = 0;
    while (sent < request.size()) {
        int n = send(s, request.data() + sent, static_cast<int>(request.size() - sent > (1 << 20) ? (1 << 20) : request.size() - sent), 0);
        if (n <= 0) return -1;
        sent += static_cast<size_t>(n);
    }
    char buffer[1024];
    size_t answered = 0;
    for (int n; (n = recv(s, buffer, sizeof(buffer), 0)) > 0;) answered += static_cast<size_t>(n);
    closesocket(s);
    while (CountSpooled(spool) < expected) Sleep(1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return answered == 609 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
    if (sizes.empty()) sizes = {1, 64};

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    std::string spool = MakeBenchFolder("kv-request-bench-");
    std::string module = ModuleBesideSelf("KVEvSpool");
    if (!CallRegistration(module, true)) {
        fprintf(stderr, "request_bench: cannot register %s\n", module.c_str());
        return 1;
    }
    SetMachineString(kSpoolKey, "spool", spool);
    SetMachineString(kListenerKey, "ports", "0");
    // The largest request the listener takes (256 MiB); the default of 1 MiB would refuse these.
    SetMachineDword(kListenerKey, "maxRequestKB", 262144);

    CListener* listener = nullptr;
    CListener::CreateInstance(&listener);
    BSTR info = nullptr;
    if (!listener || FAILED(listener->Start(&info))) {
        fprintf(stderr, "request_bench: the listener did not start\n");
        return 1;
    }
    unsigned short port = static_cast<unsigned short>(wcstol(info, nullptr, 10));
    SysFreeString(info);

    size_t expected = 0;
    printf("%-10s %12s %12s %10s\n", "size", "framing", "seconds", "MiB/s");
    for (int mib : sizes) {
        std::string body(static_cast<size_t>(mib) << 20, 'x');
        for (size_t i = 0; i < body.size(); i += 64) body[i] = '\n';
        std::string length = "POST / HTTP/1.1\r\nHost: bench\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        double t = TimeRequest(port, length, spool, ++expected);
        printf("%4d MiB   %12s %12.3f %10.1f\n", mib, "length", t, t > 0 ? mib / t : 0.0);
        std::string chunked = "POST / HTTP/1.1\r\nHost: bench\r\nTransfer-Encoding: chunked\r\n\r\n";
        const size_t piece = 4096;
        char sizeLine[32];
        for (size_t at = 0; at < body.size(); at += piece) {
            size_t n = body.size() - at < piece ? body.size() - at : piece;
            snprintf(sizeLine, sizeof(sizeLine), "%zx\r\n", n);
            chunked += sizeLine;
            chunked.append(body, at, n);
            chunked += "\r\n";
        }
        chunked += "0\r\n\r\n";
        t = TimeRequest(port, chunked, spool, ++expected);
        printf("%4d MiB   %12s %12.3f %10.1f\n", mib, "chunked", t, t > 0 ? mib / t : 0.0);
        fflush(stdout);
    }
    listener->Stop();
    listener->Release();
    RemoveBenchFolder(spool);
    WSACleanup();
    return 0;
}
