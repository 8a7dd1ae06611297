// WindowsService.h -- kvlisten as a Windows service: registration with the service control manager, and the run under it.
#pragma once

#include "HostOptions.h"

class WindowsService {
public:
    // /install: registers "kvlisten" to start automatically with this program and --service.
    static int Install(const HostOptions& options);
    // /uninstall: stops the service if it runs and removes its registration.
    static int Uninstall();
    // --service: hands the process to the service control manager, which calls back to start
    // the listener and later to stop it.
    static int Run(const HostOptions& options);
};
