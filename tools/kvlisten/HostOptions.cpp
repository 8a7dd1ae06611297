// HostOptions.cpp -- kvlisten's command line: options, their values and the usage.
#include "HostOptions.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <stdlib.h>
#include <string.h>

namespace {

bool Is(const char* arg, const char* a, const char* b = nullptr, const char* c = nullptr) {
    return strcmp(arg, a) == 0 || (b && strcmp(arg, b) == 0) || (c && strcmp(arg, c) == 0);
}

// A port as the listener takes it: 0 to 65535 in decimal digits, nothing else.
bool IsPort(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    return atol(text.c_str()) <= 65535;
}

// A numeric IPv4 or IPv6 address ([brackets] around IPv6 allowed); `address` is left without them.
bool IsNumericAddress(std::string& address) {
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
    unsigned char bytes[16];
    return inet_pton(AF_INET, address.c_str(), bytes) == 1 || inet_pton(AF_INET6, address.c_str(), bytes) == 1;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; null when it has none.
const char* ValueOf(const char* arg, const char* name, int argc, char** argv, int& i) {
    size_t length = strlen(name);
    if (strncmp(arg, name, length) == 0 && arg[length] == '=') return arg + length + 1;
    return i + 1 < argc ? argv[++i] : nullptr;
}

bool IsOption(const char* arg, const char* name) {
    size_t length = strlen(name);
    return strncmp(arg, name, length) == 0 && (arg[length] == '\0' || arg[length] == '=');
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    // _putenv also sets the process's environment block, which GetEnvironmentVariable reads.
    _putenv((std::string(name) + "=" + value).c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

}  // namespace

void HostOptions::Export() const {
    if (!ports.empty()) SetVariable("KVLUMEN_PORTS", Joined(ports));
    if (!listen.empty()) SetVariable("KVLUMEN_LISTEN", Joined(listen));
}

const char* HostOptions::Synopsis() {
    return "usage: kvlisten [--registry FILE] [--port N]... [--listen ADDRESS]... [--interfaces] [--any-port]\n"
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
           "  --port N         listen on port N instead of the registry's \"ports\"; repeated, the ports are\n"
           "                   tried in the order given\n"
           "  --listen ADDRESS listen on this numeric IPv4 or IPv6 address instead of the host name's;\n"
           "                   repeatable; 0.0.0.0 means every IPv4 address, :: every IPv6 address\n"
           "  --interfaces     listen on the addresses of every interface that is up, loopback included,\n"
           "                   as Windows resolves the host name (Linux; by default the host name resolves\n"
           "                   as /etc/hosts says); not with --listen\n"
           "  --any-port       when none of the configured ports can be used (or none is configured), keep\n"
           "                   the port the system chooses instead of exiting 1\n"
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
        } else if (IsOption(arg, "--port")) {
            const char* value = ValueOf(arg, "--port", argc, argv, i);
            if (!value || !IsPort(value)) {
                error = std::string("--port needs a port number (0 to 65535 in digits), not \"") + (value ? value : "") + "\"";
                return false;
            }
            ports.push_back(value);
        } else if (IsOption(arg, "--listen")) {
            const char* value = ValueOf(arg, "--listen", argc, argv, i);
            std::string address = value ? value : "";
            if (!IsNumericAddress(address)) {
                error = "--listen needs a numeric IPv4 or IPv6 address (0.0.0.0 or :: for all), not \"" + address + "\"";
                return false;
            }
            listen.push_back(address);
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
    if (interfaces && !listen.empty()) {
        error = "--listen names the addresses itself: leave out --interfaces";
        return false;
    }
#ifdef _WIN32
    if (!registry.empty()) {
        error = "--registry exists on Linux only: on Windows the listener uses the system's registry";
        return false;
    }
    if (action == Action::Uninstall && (anyPort || interfaces || !ports.empty() || !listen.empty())) {
        error = "/uninstall takes no other option";
        return false;
    }
#endif
    return true;
}
