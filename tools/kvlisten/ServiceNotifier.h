// ServiceNotifier.h -- tells a service manager (systemd's Type=notify) when the listener is ready and when it stops.
#pragma once

#include <string>

class ServiceNotifier {
public:
    // READY=1 with a status line; nothing happens without a manager listening (or without
    // libsystemd in the build).
    static void Ready(const std::string& status);
    // STOPPING=1, before the listener's Stop.
    static void Stopping();
    // A status line only, e.g. while the log is reopened.
    static void Status(const std::string& status);
};
