// WindowsService.cpp -- kvlisten as a Windows service: registration with the service control manager, and the run under it.
#include "WindowsService.h"

#include <windows.h>

#include <string>

#include "ListenerHost.h"
#include "SystemMessage.h"

namespace {

char kServiceName[] = "kvlisten";
const char kDisplayName[] = "KVLumen printer event listener";
char kDescription[] = "Receives event notifications from network printers (KVLUMEN.Listener) and hands them to "
                      "the registered event manager.";
const DWORD kStopWaitMs = 30000;
const DWORD kServiceFailed = 1;  // our service-specific exit code: the listener did not start

const HostOptions* gOptions = nullptr;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus = {};
HANDLE gStopEvent = nullptr;
HANDLE gEventSource = nullptr;

int Fail(const char* what, DWORD error) {
    ListenerHost::Say("error: %s: %s", what, DescribeCode(HRESULT_FROM_WIN32(error)).c_str());
    return 1;
}

// A service has no console: its lines go to the event log (source "kvlisten").
void ToEventLog(const char* line) {
    if (!gEventSource) return;
    std::string text = std::string("kvlisten: ") + line;
    const char* strings[] = {text.c_str()};
    WORD type = strncmp(line, "error:", 6) == 0     ? EVENTLOG_ERROR_TYPE
                : strncmp(line, "warning:", 8) == 0 ? EVENTLOG_WARNING_TYPE
                                                    : EVENTLOG_INFORMATION_TYPE;
    ReportEventA(gEventSource, type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0) {
    static DWORD checkPoint = 1;
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    gStatus.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    gStatus.dwServiceSpecificExitCode = exitCode;
    gStatus.dwWaitHint = waitHint;
    gStatus.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : checkPoint++;
    SetServiceStatus(gStatusHandle, &gStatus);
}

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitMs);
        SetEvent(gStopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    gStatusHandle = RegisterServiceCtrlHandlerExA(kServiceName, OnControl, nullptr);
    if (!gStatusHandle) return;
    Report(SERVICE_START_PENDING, NO_ERROR, kStopWaitMs);
    gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD exitCode = kServiceFailed;
    {
        ListenerHost host(*gOptions);
        if (gStopEvent && host.Start() == 0) {
            Report(SERVICE_RUNNING);
            WaitForSingleObject(gStopEvent, INFINITE);
            ListenerHost::Say("stopping (the service control manager asked)");
            exitCode = host.Stop() == 0 ? NO_ERROR : kServiceFailed;
            if (exitCode == NO_ERROR) ListenerHost::Say("stopped");
        }
    }
    if (gStopEvent) CloseHandle(gStopEvent);
    Report(SERVICE_STOPPED, exitCode);
}

// Closes a service handle on every way out.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : mHandle(handle) {}
    ~ServiceHandle() {
        if (mHandle) CloseServiceHandle(mHandle);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return mHandle; }

private:
    SC_HANDLE mHandle;
};

}  // namespace

int WindowsService::Install(const HostOptions& options) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof(program));
    if (length == 0 || length >= sizeof(program)) return Fail("this program's path cannot be read", GetLastError());
    std::string command = std::string("\"") + program + "\" --service";
    if (options.anyPort) command += " --any-port";
    for (const std::string& port : options.ports) command += " --port " + port;
    for (const std::string& address : options.listen) command += " --listen " + address;

    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager.get()) return Fail("the service control manager cannot be opened (run as an administrator)", GetLastError());
    ServiceHandle service(CreateServiceA(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.get()) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS) {
            ListenerHost::Say("error: the service \"%s\" is installed already (kvlisten /uninstall removes it)", kServiceName);
            return 1;
        }
        return Fail("the service cannot be installed", error);
    }
    SERVICE_DESCRIPTIONA description = {kDescription};
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    ListenerHost::Say("installed the service \"%s\" (%s): it starts with Windows, or now with: net start %s",
                      kServiceName, command.c_str(), kServiceName);
    return 0;
}

int WindowsService::Uninstall() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.get()) return Fail("the service control manager cannot be opened", GetLastError());
    ServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.get()) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            ListenerHost::Say("error: the service \"%s\" is not installed", kServiceName);
            return 1;
        }
        return Fail("the service cannot be opened (run as an administrator)", error);
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ListenerHost::Say("stopping the service \"%s\"", kServiceName);
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        for (DWORD waited = 0; status.dwCurrentState != SERVICE_STOPPED && waited < kStopWaitMs; waited += 250) {
            Sleep(250);
            if (!QueryServiceStatus(service.get(), &status)) break;
        }
        if (status.dwCurrentState != SERVICE_STOPPED)
            ListenerHost::Say("warning: the service did not stop within %lu s; it is removed once it has",
                              static_cast<unsigned long>(kStopWaitMs / 1000));
    }
    if (!DeleteService(service.get())) return Fail("the service cannot be removed", GetLastError());
    ListenerHost::Say("removed the service \"%s\"", kServiceName);
    return 0;
}

int WindowsService::Run(const HostOptions& options) {
    gOptions = &options;
    gEventSource = RegisterEventSourceA(nullptr, kServiceName);
    ListenerHost::SetLineSink(ToEventLog);
    SERVICE_TABLE_ENTRYA table[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    BOOL dispatched = StartServiceCtrlDispatcherA(table);
    DWORD error = GetLastError();
    ListenerHost::SetLineSink(nullptr);
    if (gEventSource) DeregisterEventSource(gEventSource);
    if (!dispatched) {
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            ListenerHost::Say("error: --service is for the service control manager; in a console run kvlisten without it");
            return 2;
        }
        return Fail("the service control manager did not take the service", error);
    }
    return gStatus.dwServiceSpecificExitCode == NO_ERROR ? 0 : 1;
}
