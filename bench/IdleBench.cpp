// IdleBench.cpp -- kvlisten under 1000 silent and 500 one-byte-a-second printers: real events' latency, threads, memory, time-outs, exit.
//
//   idle_bench [--idle N] [--slow N] [--events N] [--max-connections N]
//
// POSIX only (it reads /proc). Runs kvlisten, kvreg and kvregsvr from its own folder, with a
// registry store, a spool folder and a log setting of its own in a temporary folder:
// requestTimeoutMs 2000, maxConnections as given (default 2048, so that every printer gets its
// handler; 512, the default of the setting, shows printers waiting in the backlog instead).
//   1. real events one after another on a quiet listener: latency from connect to the response;
//   2. the idle printers connect and send nothing, the slow ones send one byte of their headers a
//      second; meanwhile the same real events again, and kvlisten's threads and memory;
//   3. when and how many of the idle and slow connections the listener closed, and its threads
//      and memory after that and once the idle handler threads have ended (30 s later);
//   4. the idle printers connect again, and kvlisten gets SIGTERM: how long until it exits, and
//      whether every real event that got its 200 is in the spool.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

std::string gBin;
std::string gWork;

int Run(const std::string& command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return system(quiet.c_str());
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

int Connect(unsigned short port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

std::string EventRequest(int n) {
    std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SOAP-ENV:Envelope><SOAP-ENV:Body><Deliver>\r\n";
    for (int i = 0; i < 20; ++i)
        body += "<Event seq=\"" + std::to_string(n * 100 + i) + "\" type=\"JobCompleted\"><Pages>3</Pages></Event>\r\n";
    body += "</Deliver></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
    return "POST / HTTP/1.1\r\nHost: bench\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// One real event: seconds from the connect to the end of the response, or -1 when it was not a 200.
double SendEvent(unsigned short port, int n) {
    Clock::time_point start = Clock::now();
    int s = Connect(port);
    if (s < 0) return -1;
    std::string request = EventRequest(n);
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        close(s);
        return -1;
    }
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = recv(s, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, size_t(got));
    close(s);
    return answer.compare(0, 15, "HTTP/1.1 200 OK") == 0 ? Seconds(start, Clock::now()) : -1;
}

struct Latency {
    std::vector<double> seconds;
    int failed = 0;
    void Print(const char* label) const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty()) {
            printf("  %-42s no event answered (%d failed)\n", label, failed);
            return;
        }
        printf("  %-42s %8.1f ms %8.1f ms %8.1f ms  (%zu answered, %d failed)\n", label, 1000 * sorted[sorted.size() / 2],
               1000 * sorted[sorted.size() * 9 / 10], 1000 * sorted.back(), sorted.size(), failed);
    }
};

void SendEvents(unsigned short port, int count, int first, Latency* latency) {
    for (int i = 0; i < count; ++i) {
        double t = SendEvent(port, first + i);
        if (t < 0)
            ++latency->failed;
        else
            latency->seconds.push_back(t);
    }
}

// Threads and resident memory of a process, from /proc.
void Usage(pid_t pid, long* threads, double* rssMiB) {
    *threads = 0;
    *rssMiB = 0;
    FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!status) return;
    char line[256];
    while (fgets(line, sizeof(line), status)) {
        if (strncmp(line, "Threads:", 8) == 0) *threads = atol(line + 8);
        if (strncmp(line, "VmRSS:", 6) == 0) *rssMiB = atol(line + 6) / 1024.0;
    }
    fclose(status);
}

void PrintUsage(const char* label, pid_t pid) {
    long threads;
    double rss;
    Usage(pid, &threads, &rss);
    printf("  %-42s %8ld %9.1f MiB\n", label, threads, rss);
}

size_t CountSpooled(const std::string& folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (strncmp(entry->d_name, "event-", 6) == 0) ++count;
        closedir(dir);
    }
    return count;
}

// A printer that holds its connection: idle ones send nothing, slow ones one byte a second.
struct Printer {
    int socket;
    bool slow;
    Clock::time_point opened;
    size_t sent = 0;
    double closedAfter = -1;  // seconds from the connect to the listener's close
};

const char kSlowHeaders[] = "POST /events HTTP/1.1\r\nHost: slow-printer\r\nContent-Type: text/xml\r\nContent-Length: 100\r\n\r\n";

// Runs the printers until every one was closed by the listener or `limit` seconds passed.
void Hold(std::vector<Printer>& printers, double limit) {
    Clock::time_point start = Clock::now();
    Clock::time_point nextByte = start;
    std::vector<pollfd> polls(printers.size());
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= nextByte) {
            for (Printer& p : printers)
                if (p.slow && p.closedAfter < 0 && p.sent < sizeof(kSlowHeaders) - 1 &&
                    send(p.socket, kSlowHeaders + p.sent, 1, MSG_NOSIGNAL) == 1)
                    ++p.sent;
            nextByte += std::chrono::seconds(1);
        }
        size_t open = 0;
        for (size_t i = 0; i < printers.size(); ++i) {
            polls[i].fd = printers[i].closedAfter < 0 ? printers[i].socket : -1;
            polls[i].events = POLLIN;
            polls[i].revents = 0;
            if (printers[i].closedAfter < 0) ++open;
        }
        if (open == 0 || Seconds(start, now) > limit) return;
        int wait = int(std::max<long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(nextByte - now).count()));
        if (poll(polls.data(), polls.size(), std::min(wait, 100)) <= 0) continue;
        for (size_t i = 0; i < printers.size(); ++i) {
            if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char scrap[256];
            if (recv(printers[i].socket, scrap, sizeof(scrap), MSG_DONTWAIT) <= 0)
                printers[i].closedAfter = Seconds(printers[i].opened, Clock::now());
        }
    }
}

void PrintClosures(const char* label, const std::vector<Printer>& printers, bool slow) {
    std::vector<double> after;
    size_t total = 0;
    for (const Printer& p : printers) {
        if (p.slow != slow) continue;
        ++total;
        if (p.closedAfter >= 0) after.push_back(p.closedAfter);
    }
    std::sort(after.begin(), after.end());
    if (after.empty()) {
        printf("  %-34s %5zu of %5zu\n", label, after.size(), total);
        return;
    }
    printf("  %-34s %5zu of %5zu %8.2f s %8.2f s %8.2f s\n", label, after.size(), total, after.front(),
           after[after.size() / 2], after.back());
}

std::vector<Printer> OpenPrinters(unsigned short port, int idle, int slow) {
    std::vector<Printer> printers;
    for (int i = 0; i < idle + slow; ++i) {
        Printer p{Connect(port), i >= idle, Clock::now()};
        if (p.socket >= 0) printers.push_back(p);
    }
    return printers;
}

void ClosePrinters(std::vector<Printer>& printers) {
    for (Printer& p : printers) close(p.socket);
    printers.clear();
}

std::string ReadFile(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof(buffer), f)) > 0;) text.append(buffer, got);
        fclose(f);
    }
    return text;
}

// Starts kvlisten with its output in the work folder and waits for the port it announces.
pid_t StartListener(unsigned short* port) {
    std::string output = gWork + "/kvlisten.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // kvlisten announces its port among its notes on standard error.
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string program = gBin + "/kvlisten";
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    const char announcement[] = "listening on port ";
    Clock::time_point start = Clock::now();
    for (std::string text; pid > 0 && Seconds(start, Clock::now()) < 30; text = ReadFile(output)) {
        size_t at = text.find(announcement);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            *port = static_cast<unsigned short>(atoi(text.c_str() + at + sizeof(announcement) - 1));
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    int idle = 1000, slow = 500, events = 20, maxConnections = 2048;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        int value = atoi(argv[i + 1]);
        if (option == "--idle") idle = value;
        else if (option == "--slow") slow = value;
        else if (option == "--events") events = value;
        else if (option == "--max-connections") maxConnections = value;
    }
    // Both sides need a descriptor per connection; kvlisten inherits the raised limit.
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::string self = argv[0];
    char resolved[4096];
    if (realpath("/proc/self/exe", resolved)) self = resolved;
    gBin = self.substr(0, self.find_last_of('/'));
    char folder[] = "/tmp/kv-idle-bench.XXXXXX";
    if (!mkdtemp(folder)) return 1;
    gWork = folder;
    std::string spool = gWork + "/spool";
    mkdir(spool.c_str(), 0700);
    setenv("KVLUMEN_REGISTRY", (gWork + "/registry.reg").c_str(), 1);

    const std::string key = "'HKLM\\SOFTWARE\\Korvane\\KVLumen\\";
    bool ready = Run(Quoted(gBin + "/kvregsvr") + " /s " + Quoted(gBin + "/KVEvLsn.so")) == 0 &&
                 Run(Quoted(gBin + "/kvregsvr") + " /s " + Quoted(gBin + "/KVEvSpool.so")) == 0 &&
                 Run(Quoted(gBin + "/kvreg") + " add " + key + "Listener' /v ports /t REG_SZ /d 0 /f") == 0 &&
                 Run(Quoted(gBin + "/kvreg") + " add " + key + "Listener' /v requestTimeoutMs /t REG_DWORD /d 2000 /f") == 0 &&
                 // Every printer here comes from 127.0.0.1: one address may hold them all.
                 Run(Quoted(gBin + "/kvreg") + " add " + key + "Listener' /v maxConnectionsPerPeer /t REG_DWORD /d 16384 /f") == 0 &&
                 Run(Quoted(gBin + "/kvreg") + " add " + key + "Listener' /v maxConnections /t REG_DWORD /d " +
                     std::to_string(maxConnections) + " /f") == 0 &&
                 Run(Quoted(gBin + "/kvreg") + " add " + key + "EventManager' /v spool /t REG_SZ /d " + Quoted(spool) + " /f") == 0 &&
                 Run(Quoted(gBin + "/kvreg") + " add " + key + "Logging' /v KVLUMEN.EventListener /t REG_SZ /d " +
                     Quoted("file," + gWork + "/listener.log,2") + " /f") == 0;
    unsigned short port = 0;
    pid_t listener = ready ? StartListener(&port) : -1;
    if (listener < 0 || port == 0) {
        fprintf(stderr, "idle_bench: kvlisten did not start (see %s)\n", gWork.c_str());
        if (listener > 0) {
            kill(listener, SIGKILL);
            waitpid(listener, nullptr, 0);
        }
        return 1;
    }
    printf("idle_bench: kvlisten (pid %d) on port %u, requestTimeoutMs 2000, maxConnections %d; %d idle and %d "
           "slow printers, %d real events per run\n\n",
           int(listener), port, maxConnections, idle, slow, events);

    printf("kvlisten%37s %8s %13s\n", "", "threads", "resident");
    PrintUsage("quiet", listener);
    Latency quiet;
    SendEvents(port, events, 0, &quiet);

    std::vector<Printer> printers = OpenPrinters(port, idle, slow);
    Latency loaded;
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        SendEvents(port, events, events, &loaded);
    });
    std::thread usage([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        PrintUsage("with the printers connected (after 1 s)", listener);
    });
    Hold(printers, 30);
    sender.join();
    usage.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    PrintUsage("after the listener closed them", listener);
    // Handler threads wait 30 s for further connections before they end.
    Clock::time_point closed = Clock::now();
    long threads = 0;
    double rss = 0;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        Usage(listener, &threads, &rss);
    } while (threads > 2 && Seconds(closed, Clock::now()) < 45);
    std::string later = "when the idle handler threads ended (" +
                        std::to_string(static_cast<int>(Seconds(closed, Clock::now()) + 0.5)) + " s)";
    PrintUsage(later.c_str(), listener);

    printf("\nreal events, connect to response%13s %11s %11s\n", "median", "90%", "max");
    quiet.Print("quiet listener");
    loaded.Print("beside the idle and slow printers");

    printf("\nconnections the listener closed%14s %8s %10s %10s %10s\n", "closed", "", "first", "median", "last");
    PrintClosures("idle (nothing sent)", printers, false);
    PrintClosures("slow (one byte a second)", printers, true);
    ClosePrinters(printers);

    // The exit: silent printers connected, every answered event must be in the spool.
    std::vector<Printer> silent = OpenPrinters(port, idle, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Usage(listener, &threads, &rss);
    Clock::time_point signalled = Clock::now();
    kill(listener, SIGTERM);
    int status = 0;
    while (waitpid(listener, &status, WNOHANG) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double exitSeconds = Seconds(signalled, Clock::now());
    ClosePrinters(silent);
    size_t answered = quiet.seconds.size() + loaded.seconds.size();
    printf("\nSIGTERM with %zu silent printers connected (%ld threads): kvlisten exited %d after %.3f s; %zu of %zu "
           "answered events in the spool\n",
           size_t(idle), threads, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), exitSeconds, CountSpooled(spool), answered);
    Run("rm -rf " + Quoted(gWork));
    return 0;
}
