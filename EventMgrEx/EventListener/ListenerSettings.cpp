// ListenerSettings.cpp -- the intake's limits and promises, read from the Listener key when the listener starts.
#include "ListenerSettings.h"

#include <string.h>

#include "FramingScan.h"
#include "Logging.h"
#include "RegistryValue.h"
#include "UniqueHandle.h"

namespace {

const char kListenerKey[] = "Software\\Korvane\\KVLumen\\Listener";
const char kAcknowledgeValue[] = "acknowledge";

struct Limit {
    const char* name;
    DWORD ListenerSettings::*field;
    DWORD lowest;
    DWORD highest;
};

const Limit kLimits[] = {
    {"maxRequestKB", &ListenerSettings::maxRequestKB, 1, 262144},
    {"requestTimeoutMs", &ListenerSettings::requestTimeoutMs, 1000, 3600000},
    {"headerTimeoutMs", &ListenerSettings::headerTimeoutMs, 1000, 3600000},
    {"maxConnections", &ListenerSettings::maxConnections, 1, 16384},
    {"maxConnectionsPerPeer", &ListenerSettings::maxConnectionsPerPeer, 1, 16384},
    {"maxBufferedMB", &ListenerSettings::maxBufferedMB, 1, 2048},
    {"stopDrainMs", &ListenerSettings::stopDrainMs, 0, 600000},
};

void ReadLimit(HKEY key, const Limit& limit, ListenerSettings& settings) {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    LONG rc = RegQueryValueExA(key, limit.name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_FILE_NOT_FOUND) return;
    DWORD& field = settings.*limit.field;
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
        KVLOG(2, "ListenerSettings::Read: %s is not a REG_DWORD; the default %lu is used", limit.name,
              (unsigned long)field);
    } else if (value < limit.lowest || value > limit.highest) {
        KVLOG(2, "ListenerSettings::Read: %s %lu is out of its range %lu..%lu; the default %lu is used", limit.name,
              (unsigned long)value, (unsigned long)limit.lowest, (unsigned long)limit.highest, (unsigned long)field);
    } else {
        field = value;
    }
}

void ReadAcknowledge(HKEY key, ListenerSettings& settings) {
    char text[32] = {};
    DWORD size = sizeof(text);
    LONG rc = QueryStringValue(key, kAcknowledgeValue, text, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return;
    const char* end = text + strlen(text);
    if (rc == ERROR_SUCCESS && framing::equalsIgnoringCase(text, end, "received")) {
        settings.acknowledge = Acknowledge::Received;
    } else if (rc == ERROR_SUCCESS && framing::equalsIgnoringCase(text, end, "stored")) {
        settings.acknowledge = Acknowledge::Stored;
    } else {
        KVLOG(2, "ListenerSettings::Read: %s is not the REG_SZ \"received\" or \"stored\"; \"received\" is used",
              kAcknowledgeValue);
    }
}

// An address list: its good entries are taken, a bad one is named.
void ReadAddresses(HKEY key, const char* name, AddressFilter& filter) {
    char text[4096] = {};
    DWORD size = sizeof(text);
    LONG rc = QueryStringValue(key, name, text, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return;
    if (rc != ERROR_SUCCESS) {
        KVLOG(2, "ListenerSettings::Read: %s is not a REG_SZ of at most 4095 characters; the default %s is used", name,
              filter.Text().c_str());
        return;
    }
    AddressFilter read;
    std::string bad;
    if (!read.Parse(text, &bad))
        KVLOG(2, "ListenerSettings::Read: %s names \"%s\", which is no address or CIDR range; it is left out (%s "
                 "is: %s)",
              name, bad.c_str(), name, read.Text().c_str());
    filter = read;
}

// A deadline for the header section longer than the one for the whole request means nothing.
void Reconcile(ListenerSettings& settings) {
    if (settings.headerTimeoutMs > settings.requestTimeoutMs) settings.headerTimeoutMs = settings.requestTimeoutMs;
}

}  // namespace

ListenerSettings ListenerSettings::Read() {
    ListenerSettings settings;
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListenerKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return settings;
    for (const Limit& limit : kLimits) ReadLimit(key.get(), limit, settings);
    ReadAcknowledge(key.get(), settings);
    ReadAddresses(key.get(), "statusFrom", settings.statusFrom);
    ReadAddresses(key.get(), "allowedPeers", settings.allowedPeers);
    Reconcile(settings);
    return settings;
}
