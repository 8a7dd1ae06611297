// kvlisten.cpp -- the host program: runs the listener in the foreground, or as a Windows service.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include "WindowsService.h"
#else
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "ServiceNotifier.h"
#endif

#include "HostOptions.h"
#include "HostReport.h"
#include "ListenerHost.h"

namespace {

#ifdef _WIN32
HANDLE gStopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        SetEvent(gStopEvent);
        return TRUE;
    }
    return FALSE;
}

// Runs until Ctrl+C (or the console closes); returns what stopped it.
const char* WaitForStop(const ListenerHost&) {
    WaitForSingleObject(gStopEvent, INFINITE);
    return "Ctrl+C";
}
#else
sigset_t gHostSignals;

// Every thread the listener starts inherits this mask, so only our sigwait sees the signals.
void BlockHostSignals() {
    sigemptyset(&gHostSignals);
    sigaddset(&gHostSignals, SIGINT);
    sigaddset(&gHostSignals, SIGTERM);
    sigaddset(&gHostSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &gHostSignals, nullptr);
}

// How often the service manager hears the listener's counts (systemctl status shows the last).
const int kStatusSeconds = 5;

// Runs until SIGINT or SIGTERM; SIGHUP asks the component to reopen its log file (logrotate
// has moved it away) and the wait goes on. Meanwhile the service manager gets the listener's
// summary every few seconds.
const char* WaitForStop(const ListenerHost& host) {
    for (;;) {
        timespec every = {kStatusSeconds, 0};
        int received = sigtimedwait(&gHostSignals, nullptr, &every);
        if (received < 0) {
            if (errno == EAGAIN) {
                std::string summary = HostReport::Summary(host.Listener());
                if (!summary.empty()) ServiceNotifier::Status(summary);
            }
            continue;
        }
        if (received == SIGHUP) {
            KvRequestFileReopen();
            ListenerHost::Say("SIGHUP: the log file is opened again before its next line");
            continue;
        }
        return received == SIGINT ? "SIGINT" : "SIGTERM";
    }
}

// Each printer's connection is a descriptor: the soft limit (often 1024) goes up to the hard one.
void RaiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    rlim_t previous = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
        ListenerHost::Say("open files: limit raised from %llu to %llu", static_cast<unsigned long long>(previous),
                          static_cast<unsigned long long>(limit.rlim_max));
    } else {
        ListenerHost::Say("warning: open files: the limit stays at %llu (%s)", static_cast<unsigned long long>(previous),
                          strerror(errno));
    }
}

// The store for this run, made absolute so that processes the component starts find it too.
void UseRegistry(const std::string& path) {
    std::string absolute = path;
    char cwd[PATH_MAX];
    if (path[0] != '/' && getcwd(cwd, sizeof(cwd))) absolute = std::string(cwd) + "/" + path;
    setenv("KVLUMEN_REGISTRY", absolute.c_str(), 1);
}
#endif

int RunInForeground(const HostOptions& options) {
#ifdef _WIN32
    gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    // Before any thread exists: the environment is read by the component's threads, and the
    // signal mask is inherited by them.
    if (!options.registry.empty()) UseRegistry(options.registry);
    if (options.interfaces) setenv("KVLUMEN_HOST_ADDRESSES", "interfaces", 1);
    BlockHostSignals();
    RaiseDescriptorLimit();
#endif
    ListenerHost host(options);
    if (host.Start() != 0) return 1;
    HostReport::SayEventManager();
    const char* reason = WaitForStop(host);
    ListenerHost::Say("stopping (%s)", reason);
    int exitCode = host.Stop();
    if (exitCode == 0) ListenerHost::Say("stopped");
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // The component's failures and warnings (levels 1 and 2) reach standard error -- the journal,
    // under systemd -- whatever its log setting says, once a second at most per kind. The
    // environment may ask for another level, or 0 for none.
    if (GetEnvironmentVariableA("KVLUMEN_LOG_STDERR", nullptr, 0) == 0) SetEnvironmentVariableA("KVLUMEN_LOG_STDERR", "2");
    HostOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "kvlisten: %s\n%s(kvlisten --help says more)\n", error.c_str(), HostOptions::Synopsis());
        return 2;
    }
    switch (options.action) {
    case HostOptions::Action::Help:
        printf("%s%s", HostOptions::Synopsis(), HostOptions::Usage());
        return 0;
    case HostOptions::Action::Version:
        printf("kvlisten %s\n", KV_VERSION);
        return 0;
#ifdef _WIN32
    case HostOptions::Action::Install:
        return WindowsService::Install(options);
    case HostOptions::Action::Uninstall:
        return WindowsService::Uninstall();
    case HostOptions::Action::Service:
        return WindowsService::Run(options);
#endif
    default:
        return RunInForeground(options);
    }
}
