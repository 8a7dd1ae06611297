// ServiceNotifier.cpp -- sd_notify when the build has libsystemd; otherwise every call does nothing.
#include "ServiceNotifier.h"

#ifdef KV_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

void ServiceNotifier::Ready(const std::string& status) { sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str()); }

void ServiceNotifier::Stopping() { sd_notify(0, "STOPPING=1\nSTATUS=stopping"); }

void ServiceNotifier::Status(const std::string& status) { sd_notifyf(0, "STATUS=%s", status.c_str()); }
#else
void ServiceNotifier::Ready(const std::string&) {}

void ServiceNotifier::Stopping() {}

void ServiceNotifier::Status(const std::string&) {}
#endif
