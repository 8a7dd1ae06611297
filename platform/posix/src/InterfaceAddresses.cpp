// InterfaceAddresses.cpp -- the own host name as the addresses of the interfaces that are up, like Windows.
#include "InterfaceAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace kvposix {
namespace {

// One allocation per entry: the addrinfo and the address it points to.
struct Entry {
    addrinfo info;
    sockaddr_storage address;
};

// The lists we made, so that freeaddrinfo can tell them from the system's.
std::mutex gListsLock;
std::unordered_set<addrinfo*>& Lists() {
    static auto* lists = new std::unordered_set<addrinfo*>;
    return *lists;
}

void FreeEntries(addrinfo* list) {
    while (list) {
        addrinfo* next = list->ai_next;
        free(list->ai_canonname);
        delete reinterpret_cast<Entry*>(list);
        list = next;
    }
}

// The port a service names, as getaddrinfo reads it (a number or a name from /etc/services).
int ServicePort(const char* service, const addrinfo* hints, in_port_t* port) {
    *port = 0;
    if (!service) return 0;
    addrinfo query = {};
    query.ai_family = AF_INET;
    query.ai_socktype = hints ? hints->ai_socktype : 0;
    query.ai_protocol = hints ? hints->ai_protocol : 0;
    query.ai_flags = AI_PASSIVE | (hints ? (hints->ai_flags & AI_NUMERICSERV) : 0);
    addrinfo* found = nullptr;
    int code = getaddrinfo(nullptr, service, &query, &found);
    if (code != 0) return code;
    *port = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_port;
    freeaddrinfo(found);
    return 0;
}

bool SameAddress(const sockaddr* a, const sockaddr_storage& b) {
    if (a->sa_family != b.ss_family) return false;
    if (a->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(&b)->sin_addr.s_addr;
    const sockaddr_in6* x = reinterpret_cast<const sockaddr_in6*>(a);
    const sockaddr_in6* y = reinterpret_cast<const sockaddr_in6*>(&b);
    return memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(in6_addr)) == 0 && x->sin6_scope_id == y->sin6_scope_id;
}

// The addresses of interfaces that are up, of the wanted family: loopback ones, or the others.
std::vector<sockaddr_storage> UpAddresses(const ifaddrs* interfaces, int family, bool loopback) {
    std::vector<sockaddr_storage> found;
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
        if (((i->ifa_flags & IFF_LOOPBACK) != 0) != loopback) continue;
        int f = i->ifa_addr->sa_family;
        if ((f != AF_INET && f != AF_INET6) || (family != AF_UNSPEC && family != f)) continue;
        bool seen = false;
        for (const sockaddr_storage& known : found) seen = seen || SameAddress(i->ifa_addr, known);
        if (seen) continue;
        sockaddr_storage address = {};
        memcpy(&address, i->ifa_addr, f == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        found.push_back(address);
    }
    return found;
}

}  // namespace

bool HostNameMeansInterfaces() {
    const char* setting = getenv("KVLUMEN_HOST_ADDRESSES");
    return setting && strcasecmp(setting, "interfaces") == 0;
}

bool IsOwnHostName(const char* node) {
    if (!node || !*node) return false;
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof(host) - 1) != 0) return false;
    return strcasecmp(node, host) == 0;
}

int ResolveToInterfaces(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    *res = nullptr;
    int family = hints ? hints->ai_family : AF_UNSPEC;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return EAI_FAMILY;
    in_port_t port = 0;
    int code = ServicePort(service, hints, &port);
    if (code != 0) return code;

    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return EAI_SYSTEM;
    // Loopback comes last but is kept: a health check on the machine itself asks there.
    std::vector<sockaddr_storage> addresses = UpAddresses(interfaces, family, false);
    for (const sockaddr_storage& address : UpAddresses(interfaces, family, true)) addresses.push_back(address);
    freeifaddrs(interfaces);
    if (addresses.empty()) return EAI_NONAME;

    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (const sockaddr_storage& address : addresses) {
        Entry* entry = new (std::nothrow) Entry();
        char* canonical = nullptr;
        if (entry && hints && (hints->ai_flags & AI_CANONNAME) && !(canonical = strdup(node))) {
            delete entry;
            entry = nullptr;
        }
        if (!entry) {
            FreeEntries(head);
            return EAI_MEMORY;
        }
        entry->address = address;
        addrinfo& info = entry->info;
        info.ai_family = address.ss_family;
        info.ai_socktype = hints ? hints->ai_socktype : 0;
        info.ai_protocol = hints ? hints->ai_protocol : 0;
        info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address);
        if (address.ss_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&entry->address)->sin_port = port;
            info.ai_addrlen = sizeof(sockaddr_in);
        } else {
            reinterpret_cast<sockaddr_in6*>(&entry->address)->sin6_port = port;
            info.ai_addrlen = sizeof(sockaddr_in6);
        }
        info.ai_canonname = canonical;
        *tail = &info;
        tail = &info.ai_next;
    }
    try {
        std::lock_guard<std::mutex> lock(gListsLock);
        Lists().insert(head);
    } catch (...) {
        FreeEntries(head);
        return EAI_MEMORY;
    }
    *res = head;
    return 0;
}

bool ReleaseInterfaceAddresses(addrinfo* list) {
    {
        std::lock_guard<std::mutex> lock(gListsLock);
        if (Lists().erase(list) == 0) return false;
    }
    FreeEntries(list);
    return true;
}

}  // namespace kvposix
