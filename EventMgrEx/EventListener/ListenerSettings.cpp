// ListenerSettings.cpp -- the intake's limits, read from the Listener key when the listener starts.
#include "ListenerSettings.h"

#include "Logging.h"

namespace {

const char kListenerKey[] = "Software\\Korvane\\KVLumen\\Listener";

struct Limit {
    const char* name;
    DWORD ListenerSettings::*field;
    DWORD lowest;
    DWORD highest;
};

const Limit kLimits[] = {
    {"maxRequestKB", &ListenerSettings::maxRequestKB, 1, 262144},
    {"requestTimeoutMs", &ListenerSettings::requestTimeoutMs, 1000, 3600000},
    {"maxConnections", &ListenerSettings::maxConnections, 1, 16384},
};

}  // namespace

ListenerSettings ListenerSettings::Read() {
    ListenerSettings settings;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListenerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return settings;
    for (const Limit& limit : kLimits) {
        DWORD type = REG_NONE;
        DWORD value = 0;
        DWORD size = sizeof(value);
        LONG rc = RegQueryValueExA(key, limit.name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        DWORD& field = settings.*limit.field;
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
            KVLOG(2, "ListenerSettings::Read: %s is not a REG_DWORD; the default %lu is used", limit.name,
                  (unsigned long)field);
        } else if (value < limit.lowest || value > limit.highest) {
            KVLOG(2, "ListenerSettings::Read: %s %lu is out of its range %lu..%lu; the default %lu is used", limit.name,
                  (unsigned long)value, (unsigned long)limit.lowest, (unsigned long)limit.highest,
                  (unsigned long)field);
        } else {
            field = value;
        }
    }
    RegCloseKey(key);
    return settings;
}
