// FloorServer.cpp -- the least a server must do per printer (accept, read the request, answer, close), on epoll: the floor beside kvlisten and nginx.
//
//   floor_server [THREADS]
//
// Listens on a loopback port the system chooses and prints "port N" on standard output. THREADS
// (default 2, as nginx's workers) each wait with an epoll instance of their own on the shared
// listening socket (EPOLLEXCLUSIVE: one of them wakes per connection) and on their connections.
// A request is complete at the end of its Content-Length body, or at the last chunk and an empty
// trailer; it is then answered with the listener's own 200 DeliverResponse and the connection is
// closed. Nothing is delivered anywhere: this is what any server pays for the traffic alone.
// Runs until it is killed (SIGTERM, SIGINT).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "CannedResponse.h"

namespace {

const size_t kAnswerLength = strlen(kCannedResponse);

// True once `text` holds a whole request: its header section and the body that frames.
bool Complete(const std::string& text) {
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t line = text.find("\r\n") + 2;
    while (line < end + 2) {
        size_t next = text.find("\r\n", line);
        if (next - line > 15 && strncasecmp(text.c_str() + line, "content-length:", 15) == 0)
            return text.size() - (end + 4) >= strtoull(text.c_str() + line + 15, nullptr, 10);
        line = next + 2;
    }
    return text.size() >= end + 9 && text.compare(text.size() - 5, 5, "0\r\n\r\n") == 0;
}

void Serve(int listener) {
    int poll = epoll_create1(EPOLL_CLOEXEC);
    if (poll < 0) return perror("floor_server: epoll_create1");
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.fd = listener;
    if (epoll_ctl(poll, EPOLL_CTL_ADD, listener, &event) != 0) return perror("floor_server: epoll_ctl");
    std::unordered_map<int, std::string> requests;
    epoll_event ready[64];
    char buffer[16384];
    for (;;) {
        int n = epoll_wait(poll, ready, 64, -1);
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == listener) {
                int connection;
                while ((connection = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    epoll_event watch = {};
                    watch.events = EPOLLIN;
                    watch.data.fd = connection;
                    if (epoll_ctl(poll, EPOLL_CTL_ADD, connection, &watch) != 0) close(connection);
                }
                continue;
            }
            std::string& text = requests[fd];
            ssize_t got;
            while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) text.append(buffer, static_cast<size_t>(got));
            bool done = Complete(text);
            if (!done && (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
            // The answer fits any socket's send buffer; a peer that is gone gets nothing.
            if (done) send(fd, kCannedResponse, kAnswerLength, MSG_NOSIGNAL);
            requests.erase(fd);
            close(fd);  // also leaves the epoll set
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int threads = argc > 1 ? atoi(argv[1]) : 2;
    if (threads < 1 || argc > 2) {
        fprintf(stderr, "usage: floor_server [THREADS]\n");
        return 2;
    }
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, SOMAXCONN) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("floor_server: listen");
        return 1;
    }
    printf("port %u\n", ntohs(address.sin_port));
    fflush(stdout);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) workers.emplace_back(Serve, listener);
    for (auto& worker : workers) worker.join();  // they end only with an error
    return 1;
}
