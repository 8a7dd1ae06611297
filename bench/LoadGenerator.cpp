// LoadGenerator.cpp -- plays many printers at once against an HTTP server on loopback: one request per connection, every answer checked.
//
//   load_generator run HOST PORT [--seconds S | --requests N] [--concurrency C] [--body BYTES]
//                  [--framing length|chunked] [--chunk BYTES] [--timeout S]
//   load_generator idle HOST PORT COUNT SECONDS [FROM]
//   load_generator request-body BYTES          the body that run sends, on standard output
//   load_generator answer-body                 the body every answer must carry, on standard output
//
// run keeps C connections in flight (default 64) for S seconds (default 3), or until N requests
// were made, then waits for the ones still open. Each connection sends one POST of a SOAP-like
// body of BYTES bytes (default 2048), framed by Content-Length or in chunks of --chunk bytes, with
// "Connection: close", and reads until the server closes. An answer counts when it is "HTTP/1.1
// 200", its Content-Length matches what followed the header section, and that body is the
// listener's DeliverResponse body; anything else (refused, reset, cut short, a timeout) is a
// failure. A request's latency runs from its connect to the server's close. One line results:
//   completed=N failed=N seconds=S rate=R p50_ms=X p99_ms=Y max_ms=Z
// and the first few failures are described on standard error. Exit status 0 when nothing failed.
//
// idle opens COUNT connections that send nothing, prints "open COUNT" once all are established,
// holds them SECONDS seconds, then reports "closed_early=N" (connections the server ended
// meanwhile) and closes them: the memory a server spends per idle connection can be read meanwhile.
// FROM (a loopback address such as 127.0.0.2) is the address they come from: one crowd of silent
// peers, told apart from the printers that come from another address.
//
// HOST must resolve to a loopback address: this tool never sends anywhere else.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "CannedResponse.h"

namespace {

using Clock = std::chrono::steady_clock;

const long kMaxFailureReports = 5;

struct Options {
    double seconds = 3;
    long requests = 0;  // 0: run for `seconds`
    int concurrency = 64;
    size_t body = 2048;
    bool chunked = false;
    size_t chunk = 1024;
    double timeout = 30;
};

int Usage() {
    fprintf(stderr,
            "usage: load_generator run HOST PORT [--seconds S | --requests N] [--concurrency C] [--body BYTES]\n"
            "                      [--framing length|chunked] [--chunk BYTES] [--timeout S]\n"
            "       load_generator idle HOST PORT COUNT SECONDS [FROM]\n"
            "       load_generator request-body BYTES\n"
            "       load_generator answer-body\n");
    return 2;
}

// A Deliver message of exactly `size` bytes (no NUL), as a printer would send.
std::string RequestBody(size_t size) {
    static const char kHead[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body><Deliver>\r\n";
    static const char kTail[] = "</Deliver></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
    if (size < sizeof(kHead) + sizeof(kTail)) return std::string(size, 'x');
    std::string body = kHead;
    body.reserve(size);
    const size_t end = size - (sizeof(kTail) - 1);
    char line[96];
    for (unsigned long n = 1; body.size() < end; ++n) {
        int length = snprintf(line, sizeof(line), "<Event seq=\"%08lu\" type=\"JobCompleted\"><Pages>%lu</Pages></Event>\r\n",
                              n, n % 97);
        body.append(line, std::min(static_cast<size_t>(length), end - body.size()));
    }
    return body + kTail;
}

std::string AnswerBody() {
    const char* end = strstr(kCannedResponse, "\r\n\r\n");
    return end ? std::string(end + 4) : std::string();
}

std::string Request(const std::string& host, const Options& options) {
    std::string body = RequestBody(options.body);
    std::string request = "POST / HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n" +
                          "SOAPAction: \"Deliver\"\r\nConnection: close\r\n";
    if (!options.chunked) {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        return request;
    }
    request += "Transfer-Encoding: chunked\r\n\r\n";
    char sizeLine[32];
    for (size_t at = 0; at < body.size(); at += options.chunk) {
        size_t n = std::min(options.chunk, body.size() - at);
        snprintf(sizeLine, sizeof(sizeLine), "%zx\r\n", n);
        request += sizeLine;
        request.append(body, at, n);
        request += "\r\n";
    }
    return request + "0\r\n\r\n";
}

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

// The first address of HOST, which must be a loopback one.
bool Resolve(const char* host, const char* port, sockaddr_storage* address, socklen_t* length) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (int rc = getaddrinfo(host, port, &hints, &results)) {
        fprintf(stderr, "load_generator: cannot resolve %s: %s\n", host, gai_strerror(rc));
        return false;
    }
    bool found = false;
    for (addrinfo* ai = results; ai && !found; ai = ai->ai_next) {
        if (!IsLoopback(ai->ai_addr)) continue;
        memcpy(address, ai->ai_addr, ai->ai_addrlen);
        *length = ai->ai_addrlen;
        found = true;
    }
    freeaddrinfo(results);
    if (!found) fprintf(stderr, "load_generator: %s has no loopback address; refusing to send anywhere else\n", host);
    return found;
}

void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Empty when `answer` is a complete 200 whose body is `expectedBody`; otherwise what is wrong.
std::string CheckAnswer(const std::string& answer, const std::string& expectedBody) {
    if (answer.empty()) return "no answer";
    if (answer.compare(0, 13, "HTTP/1.1 200 ") != 0) return "not a 200: " + answer.substr(0, answer.find('\r'));
    size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos) return "header section never ended";
    long declared = -1;
    for (size_t line = answer.find("\r\n") + 2; line < end; line = answer.find("\r\n", line) + 2) {
        static const char kName[] = "content-length:";
        if (strncasecmp(answer.c_str() + line, kName, sizeof(kName) - 1) == 0)
            declared = strtol(answer.c_str() + line + sizeof(kName) - 1, nullptr, 10);
    }
    size_t bodyLength = answer.size() - end - 4;
    if (declared < 0) return "no Content-Length";
    if (static_cast<size_t>(declared) != bodyLength)
        return "Content-Length " + std::to_string(declared) + " but " + std::to_string(bodyLength) + " bytes followed";
    if (answer.compare(end + 4, std::string::npos, expectedBody) != 0) return "the body is not the DeliverResponse";
    return std::string();
}

struct Connection {
    int fd = -1;
    Clock::time_point started;
    bool connecting = true;
    size_t sent = 0;
    std::string answer;
};

class Run {
public:
    Run(const sockaddr_storage& address, socklen_t length, const std::string& request, const Options& options)
        : mAddress(address), mLength(length), mRequest(request), mOptions(options), mExpected(AnswerBody()) {}

    int Execute() {
        mEpoll = epoll_create1(EPOLL_CLOEXEC);
        if (mEpoll < 0) {
            perror("load_generator: epoll_create1");
            return 2;
        }
        std::vector<Connection> slots(static_cast<size_t>(mOptions.concurrency));
        const Clock::time_point begin = Clock::now();
        const Clock::time_point stopStarting = begin + std::chrono::duration_cast<Clock::duration>(
                                                           std::chrono::duration<double>(mOptions.seconds));
        Clock::time_point last = begin;
        int open = 0;
        std::vector<epoll_event> events(slots.size());
        auto wantMore = [&](Clock::time_point now) {
            return mOptions.requests > 0 ? mStarted < mOptions.requests : now < stopStarting;
        };
        for (;;) {
            const Clock::time_point now = Clock::now();
            for (Connection& c : slots) {
                if (c.fd >= 0 && now - c.started > Seconds(mOptions.timeout)) {
                    Fail(c, "no end within the timeout");
                    --open;
                }
                if (c.fd < 0 && wantMore(now) && Start(c)) ++open;
            }
            if (open == 0 && !wantMore(now)) break;
            int n = epoll_wait(mEpoll, events.data(), static_cast<int>(events.size()), 100);
            for (int i = 0; i < n; ++i) {
                Connection& c = *static_cast<Connection*>(events[i].data.ptr);
                if (c.fd >= 0 && Advance(c, events[i].events)) {
                    --open;
                    last = Clock::now();
                }
            }
        }
        close(mEpoll);
        Report(std::chrono::duration<double>(last - begin).count());
        return mFailed == 0 && mCompleted > 0 ? 0 : 1;
    }

private:
    static Clock::duration Seconds(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }

    bool Start(Connection& c) {
        ++mStarted;
        c = Connection();
        c.started = Clock::now();
        c.fd = socket(mAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) return !Fail(c, std::string("socket: ") + strerror(errno));
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (connect(c.fd, reinterpret_cast<const sockaddr*>(&mAddress), mLength) != 0 && errno != EINPROGRESS)
            return !Fail(c, std::string("connect: ") + strerror(errno));
        epoll_event event = {};
        event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        event.data.ptr = &c;
        if (epoll_ctl(mEpoll, EPOLL_CTL_ADD, c.fd, &event) != 0)
            return !Fail(c, std::string("epoll_ctl: ") + strerror(errno));
        return true;
    }

    // Moves the connection on; true when it has ended (counted as completed or failed).
    bool Advance(Connection& c, uint32_t ready) {
        if (c.connecting) {
            int error = 0;
            socklen_t size = sizeof(error);
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) return Fail(c, std::string("connect: ") + strerror(error));
            if (!(ready & (EPOLLOUT | EPOLLIN | EPOLLHUP | EPOLLERR))) return false;
            c.connecting = false;
        }
        while (c.sent < mRequest.size()) {
            ssize_t n = send(c.fd, mRequest.data() + c.sent, mRequest.size() - c.sent, MSG_NOSIGNAL);
            if (n > 0) {
                c.sent += static_cast<size_t>(n);
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return Fail(c, std::string("send: ") + strerror(errno));
        }
        if (c.sent == mRequest.size() && (ready & EPOLLOUT)) {
            epoll_event event = {};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.ptr = &c;
            epoll_ctl(mEpoll, EPOLL_CTL_MOD, c.fd, &event);
        }
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(c.fd, buffer, sizeof(buffer), 0);
            if (n > 0) {
                c.answer.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) break;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
            return Fail(c, std::string("recv: ") + strerror(errno) + " after " + std::to_string(c.answer.size()) +
                               " bytes of answer, " + std::to_string(c.sent) + " of the request sent");
        }
        std::string wrong = CheckAnswer(c.answer, mExpected);
        if (!wrong.empty()) return Fail(c, wrong + " (" + std::to_string(c.sent) + " of the request sent)");
        mLatencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c.started).count());
        ++mCompleted;
        Close(c);
        return true;
    }

    // Counts the request as failed and ends its connection; true, for "it has ended".
    bool Fail(Connection& c, const std::string& what) {
        if (++mFailed <= kMaxFailureReports) fprintf(stderr, "load_generator: failed request: %s\n", what.c_str());
        Close(c);
        return true;
    }

    void Close(Connection& c) {
        if (c.fd >= 0) close(c.fd);  // also leaves the epoll set
        c.fd = -1;
        c.answer.clear();
        c.answer.shrink_to_fit();
    }

    void Report(double seconds) {
        std::sort(mLatencies.begin(), mLatencies.end());
        auto percentile = [this](double p) {
            if (mLatencies.empty()) return 0.0;
            size_t at = static_cast<size_t>(p * static_cast<double>(mLatencies.size() - 1) + 0.5);
            return mLatencies[at];
        };
        printf("completed=%ld failed=%ld seconds=%.3f rate=%.1f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", mCompleted,
               mFailed, seconds, seconds > 0 ? static_cast<double>(mCompleted) / seconds : 0.0, percentile(0.50),
               percentile(0.99), mLatencies.empty() ? 0.0 : mLatencies.back());
        fflush(stdout);
    }

    const sockaddr_storage mAddress;
    const socklen_t mLength;
    const std::string mRequest;
    const Options mOptions;
    const std::string mExpected;
    int mEpoll = -1;
    long mStarted = 0;
    long mCompleted = 0;
    long mFailed = 0;
    std::vector<double> mLatencies;
};

bool ParseRunOptions(int argc, char** argv, Options* options) {
    for (int i = 0; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seconds") options->seconds = atof(value);
        else if (name == "--requests") options->requests = atol(value);
        else if (name == "--concurrency") options->concurrency = atoi(value);
        else if (name == "--body") options->body = strtoull(value, nullptr, 10);
        else if (name == "--chunk") options->chunk = strtoull(value, nullptr, 10);
        else if (name == "--timeout") options->timeout = atof(value);
        else if (name == "--framing" && strcmp(value, "length") == 0) options->chunked = false;
        else if (name == "--framing" && strcmp(value, "chunked") == 0) options->chunked = true;
        else return false;
    }
    return options->concurrency > 0 && options->chunk > 0 && options->timeout > 0 &&
           (options->requests > 0 || options->seconds > 0);
}

int Idle(const sockaddr_storage& address, socklen_t length, long count, double seconds, const char* from) {
    std::vector<int> fds;
    int status = 0;
    sockaddr_storage source = {};
    socklen_t sourceLength = 0;
    if (from && !Resolve(from, "0", &source, &sourceLength)) return 2;
    for (long i = 0; i < count; ++i) {
        int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && from && bind(fd, reinterpret_cast<const sockaddr*>(&source), sourceLength) != 0) {
            fprintf(stderr, "load_generator: cannot come from %s: %s\n", from, strerror(errno));
            close(fd);
            return 2;
        }
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            fprintf(stderr, "load_generator: idle connection %ld: %s\n", i + 1, strerror(errno));
            if (fd >= 0) close(fd);
            status = 1;
            break;
        }
        fds.push_back(fd);
    }
    if (status == 0) {
        printf("open %zu\n", fds.size());
        fflush(stdout);
        usleep(static_cast<useconds_t>(seconds * 1e6));
        // A connection that reads as readable now was ended (or answered) by the server.
        long closedEarly = 0;
        for (int fd : fds) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 0) > 0) ++closedEarly;
        }
        printf("closed_early=%ld\n", closedEarly);
    }
    for (int fd : fds) close(fd);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string command = argv[1];
    if (command == "answer-body" && argc == 2) {
        std::string body = AnswerBody();
        fwrite(body.data(), 1, body.size(), stdout);
        return 0;
    }
    if (command == "request-body" && argc == 3) {
        std::string body = RequestBody(strtoull(argv[2], nullptr, 10));
        fwrite(body.data(), 1, body.size(), stdout);
        return 0;
    }
    if ((command != "run" && command != "idle") || argc < 4) return Usage();
    RaiseDescriptorLimit();
    sockaddr_storage address = {};
    socklen_t length = 0;
    if (!Resolve(argv[2], argv[3], &address, &length)) return 2;
    if (command == "idle") {
        if (argc != 6 && argc != 7) return Usage();
        return Idle(address, length, atol(argv[4]), atof(argv[5]), argc == 7 ? argv[6] : nullptr);
    }
    Options options;
    if (!ParseRunOptions(argc - 4, argv + 4, &options)) return Usage();
    return Run(address, length, Request(argv[2], options), options).Execute();
}
