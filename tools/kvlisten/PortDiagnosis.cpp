// PortDiagnosis.cpp -- whether the listener got a configured port, and if not, why each configured one failed.
#include "PortDiagnosis.h"

#include <stdlib.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "RegistryValue.h"
#include "SystemMessage.h"

namespace {

const char kListenerKey[] = "SOFTWARE\\Korvane\\KVLumen\\Listener";
const char kPortsValue[] = "ports";

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_DWORD: return "REG_DWORD";
    case REG_QWORD: return "REG_QWORD";
    case REG_BINARY: return "REG_BINARY";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_NONE: return "REG_NONE";
    default: return "a value of type " + std::to_string(type);
    }
}

std::string AddressText(const sockaddr* address, int length) {
    char text[NI_MAXHOST] = "?";
    getnameinfo(address, static_cast<socklen_t>(length), text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
    return text;
}

// Why a listening socket cannot be opened on `ai`, or an empty text when it can.
std::string BindProblem(const addrinfo* ai) {
    SOCKET s = socket(ai->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return "no socket: " + DescribeCode(static_cast<DWORD>(WSAGetLastError()));
    std::string problem;
    if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == SOCKET_ERROR || listen(s, SOMAXCONN) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error == WSAEADDRINUSE) {
            problem = "in use (another program listens there)";
        } else if (error == WSAEACCES) {
#ifdef _WIN32
            problem = "access denied (another program holds it exclusively, or it is reserved)";
#else
            problem = "permission denied (ports below 1024 need root or CAP_NET_BIND_SERVICE)";
#endif
        } else {
            problem = DescribeCode(static_cast<DWORD>(error));
        }
    }
    closesocket(s);
    return problem;
}

// A decimal entry above 65535, which the C library would take modulo 65536 (70000 as 4464).
bool BeyondPortRange(const std::string& entry) {
    size_t first = entry.find_first_not_of(" \t");
    if (first == std::string::npos || entry.find_first_not_of("0123456789", first) != std::string::npos) return false;
    unsigned long value = 0;
    for (size_t i = first; i < entry.size() && value <= 65535; ++i) value = value * 10 + (entry[i] - '0');
    return value > 65535;
}

// Why an entry that is no port number is none, in the administrator's terms.
std::string NotAPort(const std::string& entry) {
    if (BeyondPortRange(entry)) return "not a port number: ports go from 1 to 65535";
    size_t first = entry.find_first_not_of(" \t");
    size_t last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) {
        std::string inner = entry.substr(first, last - first + 1);
        if (inner != entry && IsPortNumber(inner))
            return "not a port number: the listener takes the digits alone, without blanks (\"" + inner + "\")";
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(nullptr, entry.c_str(), &hints, &found) == 0) {
        unsigned port = ntohs(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_port);
        freeaddrinfo(found);
        return "a service name (port " + std::to_string(port) +
               " in the services file), which the listener does not look up: write " + std::to_string(port);
    }
    return "not a port number (0 to 65535 in decimal digits)";
}

}  // namespace

void PortDiagnosis::ReadConfiguration(const std::vector<std::string>& override) {
    mEntries.clear();
    mText.clear();
    mAbsence.clear();
    mValueProblem.clear();
    if (!override.empty()) {
        mSetting = "--port";
        mEntries = override;
        for (const std::string& port : override) mText += (mText.empty() ? "" : ",") + port;
        return;
    }
    mSetting = std::string("HKLM\\") + kListenerKey + " \"" + kPortsValue + "\"";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListenerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        mAbsence = "is missing (so is its key)";
        return;
    }
    DWORD type = REG_NONE, size = 0;
    LONG rc = RegQueryValueExA(key, kPortsValue, nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
        mValueProblem = "the value \"ports\" is " + TypeName(type) +
                        "; the listener reads only a REG_SZ list of ports such as \"8080,8081\"";
    } else if (rc == ERROR_SUCCESS) {
        std::string text(size + 1, '\0');
        DWORD got = size + 1;
        rc = QueryStringValue(key, kPortsValue, &text[0], &got);
        if (rc == ERROR_SUCCESS) {
            mText = text.c_str();
        } else {
            mValueProblem = "the value \"ports\" cannot be read as the listener reads it (" + DescribeCode(rc) +
                            "): it must be a REG_SZ ending with its terminator";
        }
    } else {
        mAbsence = "is missing";
    }
    RegCloseKey(key);
    // Entries are split as the listener splits them.
    mEntries = ListElements(mText);
    if (mAbsence.empty() && mValueProblem.empty() && mEntries.empty())
        mAbsence = mText.empty() ? "is empty" : "names no port (\"" + mText + "\")";
}

bool PortDiagnosis::ListensOnConfiguredPort(const std::string& listenInfo) const {
    for (const std::string& entry : mEntries) {
        if (!IsPortNumber(entry)) continue;
        if (entry == listenInfo) return true;
        // An entry that names port 0 asks for a port the system chooses: the listen information
        // is then that port's number, not the entry.
        if (atol(entry.c_str()) == 0) return true;
    }
    return false;
}

std::vector<std::string> PortDiagnosis::Explain(const std::vector<std::string>& nodes) const {
    if (!mValueProblem.empty()) return {mValueProblem};
    std::vector<std::string> lines;
    for (const std::string& entry : mEntries) lines.push_back("\"" + entry + "\": " + ExplainEntry(nodes, entry));
    return lines;
}

std::string PortDiagnosis::ExplainEntry(const std::vector<std::string>& nodes, const std::string& entry) const {
    if (!IsPortNumber(entry)) return NotAPort(entry);
    std::string reasons;
    int usable = 0;
    for (const std::string& node : nodes) {
        // The same lookup the listener makes for the entry.
        addrinfo* results = nullptr;
        int code = getaddrinfo(node.c_str(), entry.c_str(), nullptr, &results);
        if (code != 0) {
            if (!reasons.empty()) reasons += "; ";
            reasons += node + " does not resolve: " + DescribeCode(code);
            continue;
        }
        for (const addrinfo* ai = results; ai; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
            if (ai->ai_socktype != 0 && ai->ai_socktype != SOCK_STREAM) continue;  // the resolver's UDP and raw twins
            std::string problem = BindProblem(ai);
            if (problem.empty()) {
                ++usable;
                continue;
            }
            if (!reasons.empty()) reasons += "; ";
            reasons += AddressText(ai->ai_addr, static_cast<int>(ai->ai_addrlen)) + ": " + problem;
        }
        freeaddrinfo(results);
    }
    if (reasons.empty())
        return usable ? "free now, but not when the listener started (taken meanwhile by another program?)"
                      : "no IPv4 or IPv6 address to listen on";
    return reasons;
}
