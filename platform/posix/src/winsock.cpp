// winsock.cpp -- Windows Sockets over POSIX sockets: Winsock's results, WSA error codes and sets.
#define KVPOSIX_WINSOCK_IMPLEMENTATION
#include "kvposix/winsock.h"

#include "InterfaceAddresses.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <new>

namespace {

// Number of WSAStartup calls not yet matched by WSACleanup.
std::atomic<int> gStartups{0};

int WsaErrorFromErrno(int error) {
    switch (error) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way, in Winsock's words
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    // EPIPE is, in practice, a send on a connection the peer has reset (Winsock would say
    // WSAENOTCONN for a socket never connected, WSAESHUTDOWN after our own SD_SEND; POSIX does
    // not tell these apart). EPROTO is an accepted connection that died in the queue, which
    // Winsock reports as a reset too.
    case ECONNRESET:
    case EPIPE:
    case EPROTO: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}

int WsaErrorFromAddrinfo(int code, int savedErrno) {
    switch (code) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_MEMORY: return WSA_NOT_ENOUGH_MEMORY;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;  // the name exists, without an address of that family
#endif
    case EAI_SYSTEM: return WsaErrorFromErrno(savedErrno);
    default: return WSANO_RECOVERY;
    }
}

int Fail(int wsaError) {
    SetLastError(static_cast<DWORD>(wsaError));
    return SOCKET_ERROR;
}

SOCKET FailSocket(int wsaError) {
    SetLastError(static_cast<DWORD>(wsaError));
    return INVALID_SOCKET;
}

// The WSA code of a failed call on a socket. EBADF there means the SOCKET names nothing open,
// which Winsock reports as "not a socket".
int SocketErrorFromErrno(int error) { return error == EBADF ? WSAENOTSOCK : WsaErrorFromErrno(error); }

int FailErrno() { return Fail(SocketErrorFromErrno(errno)); }

// A blocking socket whose SO_RCVTIMEO/SO_SNDTIMEO ran out fails with EAGAIN on POSIX; Winsock
// says WSAETIMEDOUT there and keeps WSAEWOULDBLOCK for non-blocking sockets.
int FailTransferErrno(int fd) {
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
        int flags = fcntl(fd, F_GETFL);
        if (flags != -1 && !(flags & O_NONBLOCK)) return Fail(WSAETIMEDOUT);
    }
    return Fail(SocketErrorFromErrno(error));
}

// Like Windows, every call but closesocket needs a WSAStartup not yet undone. closesocket is
// spared because, unlike Windows, the last WSACleanup closes nothing: a socket that outlives it
// (a detached connection thread's) must still be closable, or its descriptor would leak.
bool Started() { return gStartups.load(std::memory_order_acquire) > 0; }

// A SOCKET is a descriptor number; anything beyond an int (INVALID_SOCKET among them) is none.
bool ToDescriptor(SOCKET s, int* fd) {
    if (s > static_cast<SOCKET>(INT_MAX)) return false;
    *fd = static_cast<int>(s);
    return true;
}

// The descriptor behind `s` for a call on an existing socket, or -1 with the last error set.
int Descriptor(SOCKET s) {
    int fd;
    if (!Started()) {
        SetLastError(WSANOTINITIALISED);
        return -1;
    }
    if (!ToDescriptor(s, &fd)) {
        SetLastError(WSAENOTSOCK);
        return -1;
    }
    return fd;
}

// What the layer knows of a descriptor it handed out itself, so that the calls every connection
// makes need not ask the system again: a socket made by socket() (it may come to listen), or a
// connection (accepted or connected: it never listens). Set when socket, accept or connect
// succeed, cleared by closesocket before the descriptor is released; descriptors beyond the
// table, or closed other than by closesocket, are asked about as ever.
enum Known : uint8_t { kUnknown = 0, kSocket, kConnection };
constexpr int kKnownDescriptors = 65536;
std::atomic<uint8_t> gKnown[kKnownDescriptors];

Known KnownAs(int fd) {
    return fd >= 0 && fd < kKnownDescriptors ? static_cast<Known>(gKnown[fd].load(std::memory_order_relaxed)) : kUnknown;
}

void Remember(int fd, Known kind) {
    if (fd >= 0 && fd < kKnownDescriptors) gKnown[fd].store(kind, std::memory_order_relaxed);
}

// closesocket and ioctlsocket work through calls that accept any descriptor (close, fcntl):
// a file or pipe handed to them must fail as on Windows instead of being closed.
bool IsSocketDescriptor(int fd) {
    if (KnownAs(fd) != kUnknown) return true;
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Winsock refuses an address buffer that is too short for its family with WSAEFAULT, where
// POSIX says EINVAL.
bool AddressFits(const struct sockaddr* name, int namelen) {
    if (!name || namelen < static_cast<int>(sizeof(sa_family_t))) return false;
    if (name->sa_family == AF_INET) return namelen >= static_cast<int>(sizeof(sockaddr_in));
    if (name->sa_family == AF_INET6) return namelen >= static_cast<int>(sizeof(sockaddr_in6));
    return true;
}

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    if (getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0) return -1;
    return value;
}

// Windows lets a listener bind a port that still has connections in TIME_WAIT; Linux does so
// only with SO_REUSEADDR, which on Linux does not let two listeners share a port (unlike
// Windows' SO_REUSEADDR). It is set here rather than in listen because the TIME_WAIT check
// happens at bind time. Only TCP sockets get it: for UDP it would let two sockets share a port.
// A connecting TCP socket that binds gains nothing and loses nothing by it.
void AllowTimeWaitReuse(int fd) {
    if (SocketOption(fd, SO_TYPE) != SOCK_STREAM) return;
    int domain = SocketOption(fd, SO_DOMAIN);
    if (domain != AF_INET && domain != AF_INET6) return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

// Size of the peer addresses a listening socket hands out, or 0 when it is no IP socket.
int PeerAddressSize(int fd) {
    switch (SocketOption(fd, SO_DOMAIN)) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
    }
}

int64_t MonotonicNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Milliseconds for poll, rounded up so that a wait never ends before its deadline.
int PollMilliseconds(int64_t remainingNs) {
    if (remainingNs <= 0) return 0;
    int64_t ms = (remainingNs + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int AddressQuery(int (*query)(int, struct sockaddr*, socklen_t*), SOCKET s, struct sockaddr* name,
                 int* namelen) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!name || !namelen || *namelen < 0) return Fail(WSAEFAULT);
    socklen_t length = static_cast<socklen_t>(*namelen);
    if (query(fd, name, &length) != 0) return FailErrno();
    // POSIX truncates silently and reports the full size; Winsock refuses a short buffer.
    if (length > static_cast<socklen_t>(*namelen)) return Fail(WSAEFAULT);
    *namelen = static_cast<int>(length);
    return 0;
}

}  // namespace

// ---- Startup and errors -----------------------------------------------------------------------

KVAPI int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    const WORD highest = MAKEWORD(2, 2);
    BYTE major = LOBYTE(wVersionRequested);
    BYTE minor = HIBYTE(wVersionRequested);
    // WSAStartup reports its failures in its result, not in the last error.
    if (major == 0) return WSAVERNOTSUPPORTED;
    if (!lpWSAData) return WSAEFAULT;
    bool aboveHighest = major > 2 || (major == 2 && minor > 2);
    memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wVersion = aboveHighest ? highest : wVersionRequested;
    lpWSAData->wHighVersion = highest;
    snprintf(lpWSAData->szDescription, sizeof(lpWSAData->szDescription), "WinSock 2.0 over POSIX sockets");
    snprintf(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), "Running");
    gStartups.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

KVAPI int WSACleanup(void) {
    int current = gStartups.load(std::memory_order_acquire);
    do {
        if (current <= 0) return Fail(WSANOTINITIALISED);
    } while (!gStartups.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
    // Unlike Windows, the last cleanup closes no socket: a detached connection thread that
    // outlives it still closes its own, and no descriptor is closed under a running thread.
    return 0;
}

KVAPI int WSAGetLastError(void) { return static_cast<int>(GetLastError()); }

KVAPI void WSASetLastError(int iError) { SetLastError(static_cast<DWORD>(iError)); }

// ---- Sockets ------------------------------------------------------------------------------------

// Every socket is created close-on-exec, so that a spawned process inherits none. A type of 0
// lets Winsock choose, as the results of a getaddrinfo without hints ask it to: TCP, unless the
// protocol says UDP.
KVAPI SOCKET kv_socket(int af, int type, int protocol) {
    if (!Started()) return FailSocket(WSANOTINITIALISED);
    if (type == 0 && (af == AF_INET || af == AF_INET6)) {
        if (protocol == 0 || protocol == IPPROTO_TCP)
            type = SOCK_STREAM;
        else if (protocol == IPPROTO_UDP)
            type = SOCK_DGRAM;
    }
    int fd = socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) return FailSocket(WsaErrorFromErrno(errno));
    Remember(fd, kSocket);
    return static_cast<SOCKET>(fd);
}

KVAPI int closesocket(SOCKET s) {
    int fd;
    if (!ToDescriptor(s, &fd) || !IsSocketDescriptor(fd)) return Fail(WSAENOTSOCK);
    Remember(fd, kUnknown);
    // Linux releases the descriptor even when close is interrupted: never retry, never report it.
    if (close(fd) != 0 && errno != EINTR) return FailErrno();
    return 0;
}

KVAPI int kv_bind(SOCKET s, const struct sockaddr* name, int namelen) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!AddressFits(name, namelen)) return Fail(WSAEFAULT);
    AllowTimeWaitReuse(fd);
    if (bind(fd, name, static_cast<socklen_t>(namelen)) != 0) return FailErrno();
    return 0;
}

KVAPI int kv_listen(SOCKET s, int backlog) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    // Linux binds an unbound socket to some port on listen; Winsock refuses with WSAEINVAL.
    sockaddr_storage local;
    socklen_t length = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        ((local.ss_family == AF_INET && reinterpret_cast<sockaddr_in*>(&local)->sin_port == 0) ||
         (local.ss_family == AF_INET6 && reinterpret_cast<sockaddr_in6*>(&local)->sin6_port == 0)))
        return Fail(WSAEINVAL);
    if (listen(fd, backlog) != 0) return FailErrno();
    return 0;
}

KVAPI SOCKET kv_accept(SOCKET s, struct sockaddr* addr, int* addrlen) {
    int fd = Descriptor(s);
    if (fd < 0) return INVALID_SOCKET;
    socklen_t length = 0;
    if (addr) {
        if (!addrlen || *addrlen < 0) return FailSocket(WSAEFAULT);
        // Winsock refuses a short buffer before it takes a connection; POSIX would truncate.
        if (*addrlen < PeerAddressSize(fd)) return FailSocket(WSAEFAULT);
        length = static_cast<socklen_t>(*addrlen);
    }
    int connection = accept4(fd, addr, addr ? &length : nullptr, SOCK_CLOEXEC);
    if (connection < 0) return FailSocket(SocketErrorFromErrno(errno));
    Remember(connection, kConnection);
    if (addr) *addrlen = static_cast<int>(length);
    return static_cast<SOCKET>(connection);
}

KVAPI int kv_connect(SOCKET s, const struct sockaddr* name, int namelen) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!AddressFits(name, namelen)) return Fail(WSAEFAULT);
    if (connect(fd, name, static_cast<socklen_t>(namelen)) != 0) return FailErrno();
    if (KnownAs(fd) == kSocket) Remember(fd, kConnection);
    return 0;
}

// MSG_NOSIGNAL: a send to a connection the peer has closed fails with WSAECONNRESET, as on
// Windows, instead of killing the process with SIGPIPE.
KVAPI int kv_send(SOCKET s, const void* buf, int len, int flags) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (len < 0) return Fail(WSAEINVAL);
    ssize_t sent = send(fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    if (sent < 0) return FailTransferErrno(fd);
    return static_cast<int>(sent);
}

// 0 at the peer's orderly close; an interrupted wait fails with WSAEINTR and is the caller's to
// retry.
KVAPI int kv_recv(SOCKET s, void* buf, int len, int flags) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (len < 0) return Fail(WSAEINVAL);
    ssize_t got = recv(fd, buf, static_cast<size_t>(len), flags);
    if (got < 0) return FailTransferErrno(fd);
    return static_cast<int>(got);
}

// SD_RECEIVE, SD_SEND and SD_BOTH have the values of SHUT_RD, SHUT_WR and SHUT_RDWR.
KVAPI int kv_shutdown(SOCKET s, int how) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    // On Linux a shutdown stops a listening socket from listening; Winsock refuses it with
    // WSAENOTCONN and the socket goes on accepting.
    if (KnownAs(fd) != kConnection && SocketOption(fd, SO_ACCEPTCONN) == 1) return Fail(WSAENOTCONN);
    if (shutdown(fd, how) != 0) return FailErrno();
    return 0;
}

KVAPI int kv_getsockname(SOCKET s, struct sockaddr* name, int* namelen) {
    return AddressQuery(getsockname, s, name, namelen);
}

KVAPI int kv_getpeername(SOCKET s, struct sockaddr* name, int* namelen) {
    return AddressQuery(getpeername, s, name, namelen);
}

// Winsock's send and receive timeouts are a DWORD of milliseconds, POSIX's a struct timeval;
// SO_ERROR holds a WSA code on Windows. Both are translated; other options pass through.
KVAPI int kv_getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < 0) return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO)) {
        if (*optlen < static_cast<int>(sizeof(DWORD))) return Fail(WSAEFAULT);
        struct timeval tv = {};
        socklen_t length = sizeof(tv);
        if (getsockopt(fd, level, optname, &tv, &length) != 0) return FailErrno();
        DWORD ms = static_cast<DWORD>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
        memcpy(optval, &ms, sizeof(ms));
        *optlen = sizeof(ms);
        return 0;
    }
    socklen_t length = static_cast<socklen_t>(*optlen);
    if (getsockopt(fd, level, optname, optval, &length) != 0) return FailErrno();
    if (level == SOL_SOCKET && optname == SO_ERROR && length == sizeof(int)) {
        int error;
        memcpy(&error, optval, sizeof(error));
        error = WsaErrorFromErrno(error);
        memcpy(optval, &error, sizeof(error));
    }
    *optlen = static_cast<int>(length);
    return 0;
}

KVAPI int kv_setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!optval || optlen < 0) return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO)) {
        if (optlen < static_cast<int>(sizeof(DWORD))) return Fail(WSAEFAULT);
        DWORD ms;
        memcpy(&ms, optval, sizeof(ms));
        struct timeval tv;
        tv.tv_sec = static_cast<time_t>(ms / 1000);
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        if (setsockopt(fd, level, optname, &tv, sizeof(tv)) != 0) return FailErrno();
        return 0;
    }
    if (setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0) return FailErrno();
    return 0;
}

// FIONBIO switches blocking off and on; FIONREAD tells how many bytes recv would return.
KVAPI int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (!IsSocketDescriptor(fd)) return Fail(WSAENOTSOCK);
    if (!argp) return Fail(WSAEFAULT);
    if (cmd == static_cast<long>(FIONBIO)) {
        int flags = fcntl(fd, F_GETFL);
        if (flags == -1) return FailErrno();
        int wanted = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        if (wanted != flags && fcntl(fd, F_SETFL, wanted) == -1) return FailErrno();
        return 0;
    }
    if (cmd == static_cast<long>(FIONREAD)) {
        int pending = 0;
        if (ioctl(fd, FIONREAD, &pending) != 0) return FailErrno();
        *argp = static_cast<u_long>(pending);
        return 0;
    }
    return Fail(WSAEINVAL);
}

// ---- Names ------------------------------------------------------------------------------------

KVAPI int kv_gethostname(char* name, int namelen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!name || namelen <= 0) return Fail(WSAEFAULT);
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof(host) - 1) != 0) return FailErrno();
    size_t length = strlen(host);
    // Winsock fails when the name and its NUL do not fit; glibc would truncate or say ENAMETOOLONG.
    if (length + 1 > static_cast<size_t>(namelen)) return Fail(WSAEFAULT);
    memcpy(name, host, length + 1);
    return 0;
}

// Returns Winsock's code (WSAHOST_NOT_FOUND, WSATYPE_NOT_FOUND, ...) and sets the last error to
// it. The list comes from the system's resolver -- or, with KVLUMEN_HOST_ADDRESSES=interfaces and
// the machine's own host name, from its interfaces, as Windows answers that name.
KVAPI int kv_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                         struct addrinfo** res) {
    int error = WSANOTINITIALISED;
    if (Started()) {
        if (!res) {
            error = WSAEFAULT;
        } else {
            *res = nullptr;
            bool numericOnly = hints && (hints->ai_flags & AI_NUMERICHOST);
            int code = !numericOnly && kvposix::HostNameMeansInterfaces() && kvposix::IsOwnHostName(node)
                           ? kvposix::ResolveToInterfaces(node, service, hints, res)
                           : getaddrinfo(node, service, hints, res);
            if (code == 0) return 0;
            error = WsaErrorFromAddrinfo(code, errno);
        }
    }
    SetLastError(static_cast<DWORD>(error));
    return error;
}

KVAPI void kv_freeaddrinfo(struct addrinfo* ai) {
    if (ai && !kvposix::ReleaseInterfaceAddresses(ai)) freeaddrinfo(ai);
}

// ---- Readiness ----------------------------------------------------------------------------------

KVAPI int __WSAFDIsSet(SOCKET fd, kv_fd_set* set) {
    if (!set) return 0;
    u_int count = set->fd_count < KV_FD_SETSIZE ? set->fd_count : KV_FD_SETSIZE;
    for (u_int i = 0; i < count; ++i)
        if (set->fd_array[i] == fd) return 1;
    return 0;
}

// Winsock's poll: the same as POSIX's but for the socket type, SOCKET_ERROR and WSA codes; an
// interrupted wait fails with WSAEINTR (as Winsock's alertable waits do), for the caller to retry.
KVAPI int WSAPoll(LPWSAPOLLFD fdArray, ULONG fds, INT timeout) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!fdArray || fds == 0) return Fail(WSAEINVAL);
    // The common case (a connection and a signal) needs no allocation.
    struct pollfd few[8];
    std::unique_ptr<struct pollfd[]> many;
    struct pollfd* polls = few;
    if (fds > 8) {
        many.reset(new (std::nothrow) struct pollfd[fds]);
        if (!many) return Fail(WSAENOBUFS);
        polls = many.get();
    }
    for (ULONG i = 0; i < fds; ++i) {
        if (!ToDescriptor(fdArray[i].fd, &polls[i].fd)) return Fail(WSAENOTSOCK);
        polls[i].events = fdArray[i].events;
        polls[i].revents = 0;
    }
    int ready = poll(polls, fds, timeout < 0 ? -1 : timeout);
    if (ready < 0) return Fail(WsaErrorFromErrno(errno));
    for (ULONG i = 0; i < fds; ++i) fdArray[i].revents = polls[i].revents;
    return ready;
}

// Built on poll, so descriptor numbers above FD_SETSIZE of the system work. Like Winsock it
// ignores nfds, leaves only the ready sockets in the sets, returns how many entries remain, waits
// forever without a timeout and fails with WSAEINVAL when there is nothing to wait for.
KVAPI int kv_select(int nfds, kv_fd_set* readfds, kv_fd_set* writefds, kv_fd_set* exceptfds,
                    const struct timeval* timeout) {
    (void)nfds;
    if (!Started()) return Fail(WSANOTINITIALISED);
    enum { kRead, kWrite, kExcept, kKinds };
    kv_fd_set* sets[kKinds] = {readfds, writefds, exceptfds};
    const short events[kKinds] = {POLLIN, POLLOUT, POLLPRI};

    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return Fail(WSAEINVAL);

    // One pollfd per distinct socket, with the sets it is watched in (a bit per kind). Only the
    // slots in use are written: a wait on one connection touches little of its thread's stack.
    struct pollfd polls[kKinds * KV_FD_SETSIZE];
    uint8_t watched[kKinds * KV_FD_SETSIZE];
    nfds_t count = 0;
    for (int kind = 0; kind < kKinds; ++kind) {
        kv_fd_set* set = sets[kind];
        if (!set) continue;
        if (set->fd_count > KV_FD_SETSIZE) return Fail(WSAEINVAL);
        for (u_int i = 0; i < set->fd_count; ++i) {
            int fd;
            if (!ToDescriptor(set->fd_array[i], &fd)) return Fail(WSAENOTSOCK);
            nfds_t slot = 0;
            while (slot < count && polls[slot].fd != fd) ++slot;
            if (slot == count) {
                polls[count].fd = fd;
                polls[count].events = 0;
                polls[count].revents = 0;
                watched[count] = 0;
                ++count;
            }
            polls[slot].events |= events[kind];
            watched[slot] |= static_cast<uint8_t>(1u << kind);
        }
    }
    if (count == 0) return Fail(WSAEINVAL);

    int64_t deadline = 0;
    if (timeout)
        deadline = MonotonicNanoseconds() + static_cast<int64_t>(timeout->tv_sec) * 1000000000 +
                   static_cast<int64_t>(timeout->tv_usec) * 1000;
    int ready;
    for (;;) {
        int waitMs = timeout ? PollMilliseconds(deadline - MonotonicNanoseconds()) : -1;
        ready = poll(polls, count, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;  // the deadline is absolute: the retry waits only what is left
            return Fail(WsaErrorFromErrno(errno));
        }
        // poll's milliseconds are capped at INT_MAX; a longer timeout takes more rounds.
        if (ready == 0 && timeout && MonotonicNanoseconds() < deadline) continue;
        break;
    }

    uint8_t isReady[kKinds * KV_FD_SETSIZE];
    for (nfds_t slot = 0; slot < count; ++slot) {
        short revents = polls[slot].revents;
        if (revents & POLLNVAL) return Fail(WSAENOTSOCK);
        bool wants[kKinds] = {(watched[slot] & 1u) != 0, (watched[slot] & 2u) != 0, (watched[slot] & 4u) != 0};
        bool is[kKinds] = {false, false, false};
        is[kRead] = wants[kRead] && (revents & POLLIN);
        is[kWrite] = wants[kWrite] && (revents & POLLOUT);
        is[kExcept] = wants[kExcept] && (revents & POLLPRI);
        bool failed = revents & POLLERR;
        if (failed && wants[kExcept]) {
            // A failed connect: Winsock reports it in the exception set only.
            is[kExcept] = true;
            is[kWrite] = false;
        }
        if ((failed || (revents & POLLHUP)) && wants[kRead]) is[kRead] = true;  // recv reports it
        // poll reports errors and hang-ups unasked: they always land in some watched set, or the
        // caller would be woken with nothing to show and wait again at once, spinning.
        if ((failed || (revents & POLLHUP)) && !is[kRead] && !is[kExcept] && !is[kWrite]) {
            if (wants[kWrite])
                is[kWrite] = true;
            else if (wants[kExcept])
                is[kExcept] = true;
        }
        isReady[slot] = static_cast<uint8_t>((is[kRead] ? 1u : 0u) | (is[kWrite] ? 2u : 0u) | (is[kExcept] ? 4u : 0u));
    }

    int total = 0;
    for (int kind = 0; kind < kKinds; ++kind) {
        kv_fd_set* set = sets[kind];
        if (!set) continue;
        u_int kept = 0;
        for (u_int i = 0; i < set->fd_count; ++i) {
            int fd = static_cast<int>(set->fd_array[i]);
            nfds_t slot = 0;
            while (polls[slot].fd != fd) ++slot;
            if (isReady[slot] & (1u << kind)) set->fd_array[kept++] = set->fd_array[i];
        }
        set->fd_count = kept;
        total += static_cast<int>(kept);
    }
    return total;
}
