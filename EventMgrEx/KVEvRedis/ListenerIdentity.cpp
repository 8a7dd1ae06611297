// ListenerIdentity.cpp -- finding this process's listening TCP ports among its descriptors.
#include "ListenerIdentity.h"

#include <windows.h>

#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "NeverDestroyed.h"

namespace {

const ULONGLONG kLifetimeMs = 10000;

struct Cache {
    std::mutex lock;
    std::string identity;
    ULONGLONG foundAt = 0;
};
NeverDestroyed<Cache> gCache;

}  // namespace

namespace ListenerIdentity {

std::string Get() {
    Cache& cache = gCache.get();
    std::lock_guard<std::mutex> hold(cache.lock);
    const ULONGLONG now = GetTickCount64();
    if (!cache.identity.empty() && now - cache.foundAt < kLifetimeMs) return cache.identity;
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    std::set<unsigned> ports;
    if (DIR* descriptors = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(descriptors)) {
            char* end = nullptr;
            long fd = strtol(entry->d_name, &end, 10);
            if (!end || *end || end == entry->d_name) continue;
            int listening = 0, type = 0;
            socklen_t length = sizeof(listening);
            if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening)
                continue;
            length = sizeof(type);
            if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) continue;
            sockaddr_storage address = {};
            length = sizeof(address);
            if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
            if (address.ss_family == AF_INET) ports.insert(ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port));
            if (address.ss_family == AF_INET6) ports.insert(ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port));
        }
        closedir(descriptors);
    }
    std::string identity = host;
    const char* separator = ":";
    for (unsigned port : ports) {
        identity += separator + std::to_string(port);
        separator = ",";
    }
    cache.identity = identity;
    cache.foundAt = now;
    return identity;
}

}  // namespace ListenerIdentity
