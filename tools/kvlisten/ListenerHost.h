// ListenerHost.h -- creates the listener, starts it, checks and announces its port, and stops it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "HostOptions.h"

struct IEventListener;

class ListenerHost {
public:
    explicit ListenerHost(const HostOptions& options) : mOptions(options) {}
    ~ListenerHost();
    ListenerHost(const ListenerHost&) = delete;
    ListenerHost& operator=(const ListenerHost&) = delete;

    // Creates "KVLUMEN.Listener" and starts it. Returns 0 when it listens on a configured port
    // (or on any port, as the options allow), else 1 after saying why; the listener is stopped
    // again in that case.
    int Start();

    // Stops a started listener. Returns 0, or 1 after saying why the stop failed.
    int Stop();

    // The listener object, while there is one.
    IUnknown* Listener() const;

    // One line of the host's own on standard error: "kvlisten: ..." and a line end (or to the
    // sink set below: a service has no console).
    static void Say(const char* format, ...)
#if defined(__GNUC__) && !defined(_WIN32)
        __attribute__((format(printf, 1, 2)))
#endif
        ;
    static void SetLineSink(void (*sink)(const char* line)) { sLineSink = sink; }

private:
    static void (*sLineSink)(const char* line);

    int Fail(const char* what, HRESULT hr, const char* advice);
    bool PortAccepted();
    void Announce();

    const HostOptions& mOptions;
    bool mSocketsStarted = false;
    bool mComStarted = false;
    IEventListener* mListener = nullptr;
    bool mStarted = false;
    std::string mPort;
    char mHostName[256] = {};
};
