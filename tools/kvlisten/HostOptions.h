// HostOptions.h -- kvlisten's command line.
#pragma once

#include <string>
#include <vector>

class HostOptions {
public:
    enum class Action { Run, Help, Version, Install, Uninstall, Service };

    // Reads the arguments after the program name. False, with `error` saying what is wrong, for a
    // command line that cannot be run (the caller prints the usage and exits 2).
    bool Parse(int argc, char** argv, std::string& error);

    // The command's forms, for --help and after a bad command line, and what --help adds.
    static const char* Synopsis();
    static const char* Usage();

    Action action = Action::Run;
    bool anyPort = false;     // a port the system chooses is fine when no configured one works
    bool interfaces = false;  // the host name means every interface that is up (POSIX opt-in)
    std::string registry;     // the registry store of this run (POSIX only); empty: the default
    std::vector<std::string> ports;    // --port: tried in this order instead of the registry's list
    std::vector<std::string> listen;   // --listen: numeric addresses instead of the host name's

    // The component's environment for the options: KVLUMEN_PORTS and KVLUMEN_LISTEN, set before
    // the listener starts (and left alone without the options).
    void Export() const;
};
