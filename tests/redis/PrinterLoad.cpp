// PrinterLoad.cpp -- many printers at once: one HTTP request per connection, every answer checked.
//
//   printer_load ADDRESS PORT[,PORT...] FIRST COUNT IN_FLIGHT OUT
//
// Sends the bodies FIRST .. FIRST+COUNT-1 (PrinterBodies.h) with Content-Length, IN_FLIGHT at a
// time, to the ports in turn, and writes "<id> <port>" for each answered one to OUT. Every answer
// must be the listener's whole 200 response. Exit 0 when all were answered so.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PrinterBodies.h"

namespace {

const size_t kResponseBytes = 628;

bool SendAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One printer's event: connect, send, read the answer to the listener's close.
bool SendEvent(const std::string& address, unsigned port, unsigned id) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
    int fd = socket(found->ai_family, SOCK_STREAM, 0);
    bool ok = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (ok) {
        timeval timeout = {30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        std::string body = PrinterBody(id);
        ok = SendAll(fd, "POST / HTTP/1.1\r\nHost: printer\r\nContent-Type: text/xml\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
        std::string answer;
        char buffer[2048];
        for (ssize_t n; ok && (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
        ok = ok && answer.size() == kResponseBytes && answer.compare(0, 17, "HTTP/1.1 200 OK\r\n") == 0;
    }
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: printer_load ADDRESS PORT[,PORT...] FIRST COUNT IN_FLIGHT OUT\n");
        return 2;
    }
    const std::string address = argv[1];
    std::vector<unsigned> ports;
    for (char* part = strtok(argv[2], ","); part; part = strtok(nullptr, ",")) ports.push_back(static_cast<unsigned>(atoi(part)));
    const unsigned first = static_cast<unsigned>(atol(argv[3]));
    const unsigned count = static_cast<unsigned>(atol(argv[4]));
    const int inFlight = atoi(argv[5]);
    FILE* out = fopen(argv[6], "w");
    if (ports.empty() || inFlight <= 0 || !out) return 2;

    std::atomic<unsigned> next{0};
    std::atomic<unsigned> failed{0};
    std::mutex outLock;
    std::vector<std::thread> printers;
    for (int p = 0; p < inFlight; ++p) {
        printers.emplace_back([&] {
            for (unsigned i; (i = next.fetch_add(1)) < count;) {
                unsigned port = ports[i % ports.size()];
                if (!SendEvent(address, port, first + i)) {
                    ++failed;
                    continue;
                }
                std::lock_guard<std::mutex> hold(outLock);
                fprintf(out, "%u %u\n", first + i, port);
            }
        });
    }
    for (std::thread& printer : printers) printer.join();
    fclose(out);
    printf("printer_load: %u of %u events answered\n", count - failed.load(), count);
    return failed == 0 ? 0 : 1;
}
