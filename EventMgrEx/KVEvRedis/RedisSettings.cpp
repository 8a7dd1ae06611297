// RedisSettings.cpp -- reading the Redis event manager's settings, and keeping them for a second.
#include "RedisSettings.h"

#include <mutex>

#include "NeverDestroyed.h"
#include "RegistryValue.h"

namespace {

const char kConfigKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager\\Redis";
const ULONGLONG kLifetimeMs = 1000;

std::string ReadString(HKEY key, const char* name, const char* fallback) {
    char text[4096] = {};
    DWORD size = sizeof(text);
    if (!key || QueryStringValue(key, name, text, &size) != ERROR_SUCCESS || !text[0]) return fallback;
    return text;
}

DWORD ReadDword(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (!key || RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value)) {
        return fallback;
    }
    return value;
}

// Never destroyed: deliveries and the replay may still run while the process exits.
struct Cache {
    std::mutex lock;
    RedisSettings settings;
    ULONGLONG readAt = 0;
    bool read = false;
};
NeverDestroyed<Cache> gCache;

}  // namespace

RedisSettings RedisSettings::Current() {
    Cache& cache = gCache.get();
    std::lock_guard<std::mutex> hold(cache.lock);
    const ULONGLONG now = GetTickCount64();
    if (cache.read && now - cache.readAt < kLifetimeMs) return cache.settings;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
    RedisSettings s;
    s.address = ReadString(key, "address", "127.0.0.1:6379");
    s.stream = ReadString(key, "stream", "kvlumen:events");
    s.fallback = ReadString(key, "fallbackSpool", "");
    s.username = ReadString(key, "username", "");
    s.password = ReadString(key, "password", "");
    s.sentinels = ReadString(key, "sentinels", "");
    s.masterName = ReadString(key, "masterName", "mymaster");
    s.tlsCaFile = ReadString(key, "tlsCaFile", "");
    s.tlsCertFile = ReadString(key, "tlsCertFile", "");
    s.tlsKeyFile = ReadString(key, "tlsKeyFile", "");
    s.tlsServerName = ReadString(key, "tlsServerName", "");
    s.maxLength = ReadDword(key, "maxLength", s.maxLength);
    s.timeoutMs = ReadDword(key, "timeoutMs", s.timeoutMs);
    if (s.timeoutMs == 0) s.timeoutMs = 2000;
    s.dedupSeconds = ReadDword(key, "dedupSeconds", s.dedupSeconds);
    if (s.dedupSeconds == 0) s.dedupSeconds = 86400;
    s.database = ReadDword(key, "database", 0);
    s.minReplicas = ReadDword(key, "minReplicas", 0);
    s.tls = ReadDword(key, "tls", 0) != 0;
    if (key) RegCloseKey(key);
    cache.settings = s;
    cache.readAt = now;
    cache.read = true;
    return s;
}

bool RedisSettings::SameServer(const RedisSettings& o) const {
    return address == o.address && username == o.username && password == o.password && sentinels == o.sentinels &&
           masterName == o.masterName && tlsCaFile == o.tlsCaFile && tlsCertFile == o.tlsCertFile &&
           tlsKeyFile == o.tlsKeyFile && tlsServerName == o.tlsServerName && timeoutMs == o.timeoutMs &&
           database == o.database && tls == o.tls;
}

std::string RedisSettings::Describe() const {
    if (!sentinels.empty()) return "primary '" + masterName + "' of the sentinels " + sentinels;
    return address;
}
