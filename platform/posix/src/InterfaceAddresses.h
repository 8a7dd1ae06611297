// InterfaceAddresses.h -- the machine's own host name resolved the way Windows resolves it: to the addresses of its interfaces that are up.
#pragma once

#include <netdb.h>

namespace kvposix {

// Whether the opt-in is on for this process: KVLUMEN_HOST_ADDRESSES=interfaces.
bool HostNameMeansInterfaces();

// Whether `node` is this machine's host name (compared without regard to case, as Windows does).
bool IsOwnHostName(const char* node);

// Builds the answer for the own host name: one entry per IPv4/IPv6 address of an interface that
// is up, loopback left out unless nothing else is up, each with the service's port and the
// hints' family, socket type and protocol (0 for none, as Windows answers without hints).
// Returns a getaddrinfo (EAI_*) code; the list goes back through ReleaseInterfaceAddresses.
int ResolveToInterfaces(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** res);

// Frees a list that ResolveToInterfaces made and returns true; false for any other list.
bool ReleaseInterfaceAddresses(struct addrinfo* list);

}  // namespace kvposix
