// ListenerHost.cpp -- creates the listener, starts it, checks and announces its port, and stops it.
#include "ListenerHost.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdarg.h>
#include <stdio.h>

#include <vector>

#include "IEventListener.h"
#include "PortDiagnosis.h"
#include "ServiceNotifier.h"
#include "SystemMessage.h"

namespace {

const wchar_t kProgId[] = L"KVLUMEN.Listener";
const char kPortsSetting[] = "HKLM\\SOFTWARE\\Korvane\\KVLumen\\Listener \"ports\"";

struct HostAddress {
    std::string text;
    bool loopback;
};

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family != AF_INET6) return false;
    const unsigned char* bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr;
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(bytes, kLoopback, 16) == 0 || (memcmp(bytes, kMappedPrefix, 12) == 0 && bytes[12] == 127);
}

// The addresses the listener listens on: those of the host name, resolved as the listener
// resolves it (with --interfaces, through the same opt-in).
std::vector<HostAddress> HostAddresses(const char* hostName, const std::string& port) {
    std::vector<HostAddress> found;
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (getaddrinfo(hostName, port.c_str(), &hints, &results) != 0) return found;
    for (const addrinfo* ai = results; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        char text[NI_MAXHOST] = "?";
        getnameinfo(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
        bool seen = false;
        for (const HostAddress& known : found) seen = seen || known.text == text;
        if (!seen) found.push_back({text, IsLoopback(ai->ai_addr)});
    }
    freeaddrinfo(results);
    return found;
}

std::string Narrow(BSTR text) {
    std::string narrow;
    for (const OLECHAR* p = text; p && *p; ++p) narrow += static_cast<char>(*p);
    return narrow;
}

}  // namespace

void (*ListenerHost::sLineSink)(const char* line) = nullptr;

void ListenerHost::Say(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (sLineSink) {
        sLineSink(line);
        return;
    }
    fprintf(stderr, "kvlisten: %s\n", line);
    fflush(stderr);
}

#ifdef _WIN32
namespace {

const DWORD kDeliveryGraceMs = 2000;

// Returning from main ends every thread of the process, and with them a delivery under way whose
// printer already has its 200. Connection handlers hold module locks while they run, so the
// module tells when none is left; a handler still waiting for a silent printer's bytes keeps it
// past the grace, and is ended without loss (it has answered nothing).
void LetDeliveriesFinish() {
    HMODULE module = GetModuleHandleA("KVEvLsn.dll");
    auto canUnloadNow = module ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                                     reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")))
                               : nullptr;
    if (!canUnloadNow) return;
    for (DWORD waited = 0; canUnloadNow() != S_OK && waited < kDeliveryGraceMs; waited += 20) Sleep(20);
}

}  // namespace
#endif

ListenerHost::~ListenerHost() {
    if (mStarted) Stop();
    if (mListener) mListener->Release();
#ifdef _WIN32
    if (mListener) LetDeliveriesFinish();
#endif
    if (mComStarted) CoUninitialize();
    if (mSocketsStarted) WSACleanup();
}

int ListenerHost::Fail(const char* what, HRESULT hr, const char* advice) {
    Say("error: %s: %s%s%s", what, DescribeCode(static_cast<DWORD>(hr)).c_str(), advice ? "; " : "", advice ? advice : "");
    return 1;
}

int ListenerHost::Start() {
#ifdef _WIN32
    Say("starting KVLUMEN.Listener (kvlisten %s)", KV_VERSION);
#else
    char store[4096] = "?";
    KvRegGetStorePath(store, sizeof(store));
    Say("starting KVLUMEN.Listener (kvlisten %s, registry %s%s)", KV_VERSION, store,
        mOptions.interfaces ? ", host name resolved to the interfaces' addresses" : "");
#endif
    WSADATA data;
    int wsa = WSAStartup(MAKEWORD(2, 2), &data);
    if (wsa != 0) return Fail("Windows Sockets could not be initialised", HRESULT_FROM_WIN32(wsa), nullptr);
    mSocketsStarted = true;
    if (gethostname(mHostName, sizeof(mHostName)) != 0)
        return Fail("the host name cannot be read", HRESULT_FROM_WIN32(WSAGetLastError()), nullptr);

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return Fail("COM could not be initialised", hr, nullptr);
    mComStarted = true;
    CLSID clsid;
    hr = CLSIDFromProgID(kProgId, &clsid);
#ifdef _WIN32
    if (FAILED(hr)) return Fail("\"KVLUMEN.Listener\" is not registered", hr, "register it with: regsvr32 KVEvLsn.dll");
#else
    std::string where = std::string("\"KVLUMEN.Listener\" is not registered in ") + store;
    if (FAILED(hr))
        return Fail(where.c_str(), hr,
                    "register it with: kvregsvr /path/to/KVEvLsn.so (the same store: KVLUMEN_REGISTRY or --registry)");
#endif
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IEventListener, reinterpret_cast<void**>(&mListener));
    if (FAILED(hr)) {
        mListener = nullptr;
        return Fail("the listener cannot be created", hr, "is its module still where it was registered?");
    }
    BSTR listenInfo = nullptr;
    hr = mListener->Start(&listenInfo);
    if (FAILED(hr))
        return Fail("the listener did not start", hr,
                    "it found no address and port to listen on; the component's log says more (HKLM\\SOFTWARE\\Korvane\\"
                    "KVLumen\\Logging \"KVLUMEN.EventListener\" = \"file,PATH,5\")");
    mStarted = true;
    mPort = Narrow(listenInfo);
    SysFreeString(listenInfo);
    if (!PortAccepted()) {
        Stop();
        return 1;
    }
    Announce();
    return 0;
}

bool ListenerHost::PortAccepted() {
    PortDiagnosis ports;
    ports.ReadConfiguration();
    if (!ports.PortsConfigured()) {
        Say("no ports configured (%s): the system chose port %s", kPortsSetting, mPort.c_str());
        return true;
    }
    if (ports.ListensOnConfiguredPort(mPort)) return true;
    const char* kind = mOptions.anyPort ? "warning" : "error";
    std::string shown = ports.Text().empty() ? std::string() : " = \"" + ports.Text() + "\"";
    Say("%s: none of the configured ports can be used (%s%s):", kind, kPortsSetting, shown.c_str());
    for (const std::string& line : ports.Explain(mHostName)) Say("%s:   %s", kind, line.c_str());
    if (mOptions.anyPort) {
        Say("warning: keeping port %s, which the system chose (--any-port)", mPort.c_str());
        return true;
    }
    Say("error: the listener fell back to port %s, which the system chose, where printers set up for the "
        "configured ports would not look; free or change a configured port, or start kvlisten with --any-port",
        mPort.c_str());
    return false;
}

void ListenerHost::Announce() {
    std::vector<HostAddress> addresses = HostAddresses(mHostName, mPort);
    std::string list;
    bool onlyLoopback = !addresses.empty();
    for (const HostAddress& address : addresses) {
        list += (list.empty() ? "" : ", ") + address.text;
        onlyLoopback = onlyLoopback && address.loopback;
    }
    Say("listening on port %s at %s (the addresses of the host name %s)", mPort.c_str(), list.c_str(), mHostName);
    if (onlyLoopback) {
#ifdef _WIN32
        Say("warning: printers on the network cannot reach this listener: the host name %s resolves only to "
            "loopback addresses (%s); printers need the address of a network interface that is up",
            mHostName, list.c_str());
#else
        Say("warning: printers on the network cannot reach this listener: the host name %s resolves only to "
            "loopback addresses (%s). Map it to the machine's network address in /etc/hosts, or start kvlisten "
            "with --interfaces to listen on the addresses of every interface that is up",
            mHostName, list.c_str());
#endif
    }
    ServiceNotifier::Ready("listening on port " + mPort);
}

int ListenerHost::Stop() {
    if (!mStarted) return 0;
    mStarted = false;
    ServiceNotifier::Stopping();
    HRESULT hr = mListener->Stop();
    if (FAILED(hr)) return Fail("stopping the listener failed", hr, "the component's log says more");
    return 0;
}

IUnknown* ListenerHost::Listener() const { return mListener; }
