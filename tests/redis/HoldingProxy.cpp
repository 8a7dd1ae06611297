// HoldingProxy.cpp -- a TCP proxy for fault tests that can hold the bytes passing through, like a network partition, and deliver them late.
//
//   holding_proxy LISTEN_PORT UPSTREAM_PORT [HOLD_AFTER_BYTES]
//
// Listens on 127.0.0.1:LISTEN_PORT and connects each client to 127.0.0.1:UPSTREAM_PORT. SIGUSR1
// starts a partition: bytes are still read from both sides but forwarded to neither. SIGUSR2
// ends it: connections still open go on at once, and what clients that have closed meanwhile
// had sent is delivered upstream 1.5 s later -- the late retransmission of a connection its
// client gave up on. With HOLD_AFTER_BYTES, the partition starts by itself once that many bytes
// went upstream. Ends at SIGTERM, or after 10 minutes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <list>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t gHoldRequested = 0;
volatile sig_atomic_t gReleaseRequested = 0;
volatile sig_atomic_t gStop = 0;

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

struct Pair {
    int client = -1;
    int upstream = -1;
    std::string toUpstream;
    std::string toClient;
    bool clientGone = false;
    long long lateAt = 0;  // when a gone client's bytes may go upstream
};

int Listen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 128) != 0) return -1;
    return fd;
}

int ConnectUpstream(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Moves what `from` has into `buffer`; false at its close or an error.
bool ReadInto(int from, std::string& buffer) {
    char chunk[65536];
    ssize_t got = recv(from, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (got > 0) buffer.append(chunk, static_cast<size_t>(got));
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

// Sends up to `limit` bytes of `buffer`; returns how many went.
size_t WriteFrom(int to, std::string& buffer, size_t limit) {
    size_t size = std::min(buffer.size(), limit);
    if (size == 0) return 0;
    ssize_t sent = send(to, buffer.data(), size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0) return 0;
    buffer.erase(0, static_cast<size_t>(sent));
    return static_cast<size_t>(sent);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: holding_proxy LISTEN_PORT UPSTREAM_PORT [HOLD_AFTER_BYTES]\n");
        return 2;
    }
    const int upstreamPort = atoi(argv[2]);
    long long holdAfter = argc > 3 ? atoll(argv[3]) : -1;
    signal(SIGUSR1, [](int) { gHoldRequested = 1; });
    signal(SIGUSR2, [](int) { gReleaseRequested = 1; });
    signal(SIGTERM, [](int) { gStop = 1; });
    int listener = Listen(atoi(argv[1]));
    if (listener < 0) {
        perror("holding_proxy: listen");
        return 2;
    }
    std::list<Pair> pairs;
    bool holding = false;
    long long forwarded = 0;
    const long long started = NowMs();
    while (!gStop && NowMs() - started < 600000) {
        if (gHoldRequested) {
            gHoldRequested = 0;
            holding = true;
            fprintf(stderr, "holding_proxy: holding\n");
        }
        if (gReleaseRequested) {
            gReleaseRequested = 0;
            holding = false;
            for (Pair& pair : pairs)
                if (pair.clientGone) pair.lateAt = NowMs() + 1500;
            fprintf(stderr, "holding_proxy: released\n");
        }
        std::vector<pollfd> fds = {{listener, POLLIN, 0}};
        for (Pair& pair : pairs) {
            if (!pair.clientGone) fds.push_back({pair.client, POLLIN, 0});
            if (pair.upstream >= 0) fds.push_back({pair.upstream, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), 20);
        if (fds[0].revents & POLLIN) {
            int client = accept(listener, nullptr, nullptr);
            if (client >= 0) {
                Pair pair;
                pair.client = client;
                pair.upstream = ConnectUpstream(upstreamPort);
                pairs.push_back(pair);
            }
        }
        const long long now = NowMs();
        for (auto it = pairs.begin(); it != pairs.end();) {
            Pair& pair = *it;
            if (!pair.clientGone && !ReadInto(pair.client, pair.toUpstream)) {
                pair.clientGone = true;
                close(pair.client);
                if (!holding) pair.lateAt = now;  // nothing held: what is left goes at once
            }
            if (pair.upstream >= 0 && !ReadInto(pair.upstream, pair.toClient)) {
                close(pair.upstream);
                pair.upstream = -1;
            }
            const bool mayForward = !holding && (!pair.clientGone || (pair.lateAt && now >= pair.lateAt));
            if (mayForward && pair.upstream >= 0) {
                size_t limit = holdAfter >= 0 ? static_cast<size_t>(std::max(0LL, holdAfter - forwarded)) : pair.toUpstream.size();
                forwarded += static_cast<long long>(WriteFrom(pair.upstream, pair.toUpstream, limit));
                if (holdAfter >= 0 && forwarded >= holdAfter) {
                    holdAfter = -1;
                    holding = true;
                    fprintf(stderr, "holding_proxy: holding after %lld bytes\n", forwarded);
                }
            }
            if (!holding && !pair.clientGone) WriteFrom(pair.client, pair.toClient, pair.toClient.size());
            if (pair.clientGone) pair.toClient.clear();
            // A gone client's pair ends once its bytes went upstream and Redis had a moment to answer.
            const bool done = pair.clientGone && (pair.upstream < 0 || (pair.toUpstream.empty() && pair.lateAt && now >= pair.lateAt + 2000));
            if (done) {
                if (pair.upstream >= 0) close(pair.upstream);
                it = pairs.erase(it);
            } else {
                ++it;
            }
        }
    }
    return 0;
}
