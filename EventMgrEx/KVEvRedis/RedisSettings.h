// RedisSettings.h -- the Redis event manager's settings, read from the registry at most once a second.
#pragma once

#include <windows.h>

#include <string>

// HKLM\SOFTWARE\Korvane\KVLumen\EventManager\Redis. An absent value, or one of the wrong type,
// means its default.
struct RedisSettings {
    std::string address;      // host:port, [v6]:port or a Unix socket's path
    std::string stream;
    std::string fallback;     // fallbackSpool: a folder, or empty
    std::string username;     // ACL user (with password)
    std::string password;
    std::string sentinels;    // host:port list: find the primary through them
    std::string masterName;
    std::string tlsCaFile;
    std::string tlsCertFile;
    std::string tlsKeyFile;
    std::string tlsServerName;
    DWORD maxLength = 1000000;
    DWORD timeoutMs = 2000;
    DWORD dedupSeconds = 86400;
    DWORD database = 0;
    DWORD minReplicas = 0;
    bool tls = false;

    // The settings of this moment: cached for a second, so a delivery costs no registry lookups.
    static RedisSettings Current();

    // Whether a connection made under `other` serves these settings too.
    bool SameServer(const RedisSettings& other) const;
    // "host:port" or the socket's path; through Sentinel, the name of the primary.
    std::string Describe() const;
};
