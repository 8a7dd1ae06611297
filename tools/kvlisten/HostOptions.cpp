// HostOptions.cpp -- kvlisten's command line: options, their values and the usage.
#include "HostOptions.h"

#include <string.h>

namespace {

bool Is(const char* arg, const char* a, const char* b = nullptr, const char* c = nullptr) {
    return strcmp(arg, a) == 0 || (b && strcmp(arg, b) == 0) || (c && strcmp(arg, c) == 0);
}

}  // namespace

const char* HostOptions::Synopsis() {
    return "usage: kvlisten [--registry FILE] [--any-port] [--interfaces]\n"
           "       kvlisten --help | --version\n"
#ifdef _WIN32
           "       kvlisten /install [--any-port] | /uninstall\n"
#endif
        ;
}

const char* HostOptions::Usage() {
    return "\n"
           "Starts the printer event listener (COM class \"KVLUMEN.Listener\") on the first usable port of\n"
           "HKLM\\SOFTWARE\\Korvane\\KVLumen\\Listener \"ports\" and runs until Ctrl+C, SIGINT or SIGTERM.\n"
           "Its own lines (start, port, warnings, errors, stop) go to standard error.\n"
           "\n"
           "  --registry FILE  the registry store for this run (Linux; default /etc/kvlumen/registry.reg,\n"
           "                   or KVLUMEN_REGISTRY)\n"
           "  --any-port       when none of the configured ports can be used, keep the port the system\n"
           "                   chooses instead of exiting 1\n"
           "  --interfaces     listen on the addresses of every interface that is up, as Windows resolves\n"
           "                   the host name (Linux; by default the host name resolves as /etc/hosts says)\n"
#ifdef _WIN32
           "  /install         register kvlisten as the Windows service \"kvlisten\" (automatic start)\n"
           "  /uninstall       stop and remove that service\n"
#endif
           "  --help, --version\n"
           "\n"
           "On Linux SIGHUP reopens the component's log file (for logrotate). Exit codes: 0 stopped\n"
           "cleanly, 1 the listener could not start or listen on a configured port, 2 a bad command line.\n";
}

bool HostOptions::Parse(int argc, char** argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (Is(arg, "--help", "-h", "/?")) {
            action = Action::Help;
            return true;
        }
        if (Is(arg, "--version")) {
            action = Action::Version;
            return true;
        }
        if (Is(arg, "--any-port")) {
            anyPort = true;
        } else if (Is(arg, "--interfaces")) {
            interfaces = true;
        } else if (Is(arg, "--registry") || strncmp(arg, "--registry=", 11) == 0) {
            const char* value = arg[10] == '=' ? arg + 11 : (i + 1 < argc ? argv[++i] : nullptr);
            if (!value || !*value) {
                error = "--registry needs the path of a registry store file";
                return false;
            }
            registry = value;
        } else if (Is(arg, "/install", "--install") || Is(arg, "/uninstall", "--uninstall") || Is(arg, "--service")) {
#ifdef _WIN32
            Action wanted = Is(arg, "--service")                ? Action::Service
                            : Is(arg, "/install", "--install") ? Action::Install
                                                               : Action::Uninstall;
            if (action != Action::Run) {
                error = std::string("only one of /install, /uninstall and --service at a time: ") + arg;
                return false;
            }
            action = wanted;
#else
            error = std::string(arg) +
                    " registers a Windows service; on Linux install the package or the unit file kvlisten.service";
            return false;
#endif
        } else {
            error = std::string("unknown argument \"") + arg + "\"";
            return false;
        }
    }
#ifdef _WIN32
    if (!registry.empty()) {
        error = "--registry exists on Linux only: on Windows the listener uses the system's registry";
        return false;
    }
    if (action == Action::Uninstall && (anyPort || interfaces)) {
        error = "/uninstall takes no other option";
        return false;
    }
#endif
    return true;
}
