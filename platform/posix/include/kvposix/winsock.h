// winsock.h -- Windows Sockets (the subset the component uses) over POSIX sockets.
//
// Component code is written against Winsock and compiles unchanged here. The difficulty is that
// most Winsock names are also POSIX names with another shape (SOCKET is pointer-sized, lengths
// are int, int* instead of socklen_t*, fd_set is a counted array) or other semantics (errors go
// to the thread's last-error value as WSA codes, send must not raise SIGPIPE, sockets must not
// leak into child processes). So this header:
//
// 1. includes every system socket header FIRST, so that their declarations of socket, send,
//    select, fd_set ... are parsed before any redirection exists and include guards keep them
//    from being parsed again;
// 2. declares our implementations under names of their own (kv_socket, kv_send, kv_select, ...),
//    exported from libkvposix; the Winsock names that POSIX does not have (closesocket,
//    ioctlsocket, WSAStartup, __WSAFDIsSet, ...) are exported under their own names;
// 3. redirects the colliding names with FUNCTION-LIKE macros: `send(s, b, n, f)` becomes
//    `kv_send(s, b, n, f)`. A function-like macro only fires on the name followed by "(" with
//    the right number of arguments, so identifiers such as std::filesystem::file_type::socket
//    stay untouched, and the system's function stays reachable as `(send)(fd, ...)`;
// 4. handles `bind` by overloading instead: <functional> declares std::bind, which a macro of
//    any kind would break. An inline `bind(SOCKET, const sockaddr*, socklen_t)` in the global
//    namespace wins overload resolution over POSIX's `bind(int, ...)` whenever the first
//    argument is a SOCKET (exact match against an integral conversion; the other parameters
//    have POSIX's types, so they can never make POSIX's version the better one);
// 5. replaces fd_set and the FD_* macros with Winsock's counted array of 64 sockets
//    (`#define fd_set kv_fd_set`) and the EAI_* codes with Winsock's values, because component
//    code compares getaddrinfo's result with them.
//
// Limits: the macros apply to every later use of the names in the translation unit, so a later
// header that declares or calls functions of its own named send, recv, connect, listen, accept,
// shutdown, select ... (std::experimental::net, Boost.Asio) cannot follow this one, and a member
// function called send(a, b, c, d) would be redirected too. The bind overload needs C++; code
// that keeps a socket in an `int` gets POSIX's bind. Lengths passed by address are int*,
// as in Winsock: a socklen_t* (an int on Windows, unsigned here) does not compile. The
// implementation file defines KVPOSIX_WINSOCK_IMPLEMENTATION to see the system's names
// unredirected.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <windows.h>

#ifndef KVAPI
#define KVAPI KV_EXTERN_C __attribute__((visibility("default")))
#endif

// ---- Types --------------------------------------------------------------------------------

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~(SOCKET)0))
#define SOCKET_ERROR (-1)

typedef struct sockaddr SOCKADDR, *PSOCKADDR, *LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;
typedef struct sockaddr_in6 SOCKADDR_IN6, *PSOCKADDR_IN6, *LPSOCKADDR_IN6;
typedef struct sockaddr_storage SOCKADDR_STORAGE, *PSOCKADDR_STORAGE;
typedef struct in_addr IN_ADDR, *PIN_ADDR;
typedef struct in6_addr IN6_ADDR, *PIN6_ADDR;
typedef struct addrinfo ADDRINFOA, *PADDRINFOA, *LPADDRINFO;
typedef struct timeval TIMEVAL, *PTIMEVAL;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

// Winsock's set: a count and an array, not a bitmap, so any descriptor number fits.
#define KV_FD_SETSIZE 64
typedef struct kv_fd_set {
    u_int fd_count;
    SOCKET fd_array[KV_FD_SETSIZE];
} kv_fd_set;
typedef kv_fd_set *PFD_SET, *LPFD_SET;

// ---- Constants ----------------------------------------------------------------------------

#ifndef MAKEWORD
#define MAKEWORD(low, high) ((WORD)(((BYTE)((low) & 0xff)) | ((WORD)((BYTE)((high) & 0xff))) << 8))
#endif
#ifndef LOBYTE
#define LOBYTE(w) ((BYTE)((w) & 0xff))
#endif
#ifndef HIBYTE
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xff))
#endif

#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

#define WSA_INVALID_HANDLE 6
#define WSA_NOT_ENOUGH_MEMORY 8
#define WSA_INVALID_PARAMETER 87
#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSATYPE_NOT_FOUND 10109
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

// ---- Functions ----------------------------------------------------------------------------

// Startup and errors. WSAGetLastError and WSASetLastError are the thread's last-error value,
// the one GetLastError reads.
KVAPI int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
KVAPI int WSACleanup(void);
KVAPI int WSAGetLastError(void);
KVAPI void WSASetLastError(int iError);

// Names Winsock has and POSIX has not.
KVAPI int closesocket(SOCKET s);
// WSAPoll: poll() over SOCKETs. The POLL* flags are POSIX's (POLLIN, POLLOUT, POLLHUP ...).
typedef struct pollfd_kv {
    SOCKET fd;
    short events;
    short revents;
} WSAPOLLFD, *PWSAPOLLFD, *LPWSAPOLLFD;
KVAPI int WSAPoll(LPWSAPOLLFD fdArray, ULONG fds, INT timeout);
KVAPI int ioctlsocket(SOCKET s, long cmd, u_long* argp);
KVAPI int __WSAFDIsSet(SOCKET fd, kv_fd_set* set);

// The colliding names, implemented under our own. Buffers are void* so that both char and byte
// buffers pass, as a superset of Winsock's char*.
KVAPI SOCKET kv_socket(int af, int type, int protocol);
KVAPI int kv_bind(SOCKET s, const struct sockaddr* name, int namelen);
KVAPI int kv_listen(SOCKET s, int backlog);
KVAPI SOCKET kv_accept(SOCKET s, struct sockaddr* addr, int* addrlen);
KVAPI int kv_connect(SOCKET s, const struct sockaddr* name, int namelen);
KVAPI int kv_send(SOCKET s, const void* buf, int len, int flags);
KVAPI int kv_recv(SOCKET s, void* buf, int len, int flags);
KVAPI int kv_shutdown(SOCKET s, int how);
KVAPI int kv_select(int nfds, kv_fd_set* readfds, kv_fd_set* writefds, kv_fd_set* exceptfds,
                    const struct timeval* timeout);
KVAPI int kv_getsockname(SOCKET s, struct sockaddr* name, int* namelen);
KVAPI int kv_getpeername(SOCKET s, struct sockaddr* name, int* namelen);
KVAPI int kv_getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen);
KVAPI int kv_setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen);
KVAPI int kv_gethostname(char* name, int namelen);
// The machine's own host name resolves as the system's resolver says (/etc/hosts), unless the
// environment has KVLUMEN_HOST_ADDRESSES=interfaces: then, as on Windows, it resolves to the
// addresses of the interfaces that are up (loopback only when nothing else is up). Such a list
// goes back through kv_freeaddrinfo like any other.
KVAPI int kv_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                         struct addrinfo** res);
KVAPI void kv_freeaddrinfo(struct addrinfo* ai);

#if !defined(KVPOSIX_WINSOCK_IMPLEMENTATION)

// ---- Redirection of the colliding names -----------------------------------------------------

#undef fd_set
#define fd_set kv_fd_set

#undef FD_SETSIZE
#define FD_SETSIZE KV_FD_SETSIZE
#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET

// Adds once; a full set ignores further sockets, as Winsock's FD_SET does.
static inline void kv_fd_set_add(SOCKET s, kv_fd_set* set) {
    for (u_int i = 0; i < set->fd_count; ++i)
        if (set->fd_array[i] == s) return;
    if (set->fd_count < KV_FD_SETSIZE) set->fd_array[set->fd_count++] = s;
}

// Removes and keeps the others in order.
static inline void kv_fd_set_remove(SOCKET s, kv_fd_set* set) {
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] != s) continue;
        for (; i + 1 < set->fd_count; ++i) set->fd_array[i] = set->fd_array[i + 1];
        --set->fd_count;
        return;
    }
}

#define FD_ZERO(set) ((void)(((kv_fd_set*)(set))->fd_count = 0))
#define FD_SET(fd, set) kv_fd_set_add((SOCKET)(fd), (kv_fd_set*)(set))
#define FD_CLR(fd, set) kv_fd_set_remove((SOCKET)(fd), (kv_fd_set*)(set))
#define FD_ISSET(fd, set) __WSAFDIsSet((SOCKET)(fd), (kv_fd_set*)(set))

// getaddrinfo returns Winsock's codes, so the names compare with Winsock's values.
#undef EAI_AGAIN
#undef EAI_BADFLAGS
#undef EAI_FAIL
#undef EAI_FAMILY
#undef EAI_MEMORY
#undef EAI_NONAME
#undef EAI_SERVICE
#undef EAI_SOCKTYPE
#undef EAI_NODATA
#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY WSA_NOT_ENOUGH_MEMORY
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT
#define EAI_NODATA WSANO_DATA

#define socket(af, type, protocol) kv_socket((af), (type), (protocol))
#define listen(s, backlog) kv_listen((s), (backlog))
#define accept(s, addr, addrlen) kv_accept((s), (addr), (addrlen))
#define connect(s, name, namelen) kv_connect((s), (name), (namelen))
#define send(s, buf, len, flags) kv_send((s), (buf), (len), (flags))
#define recv(s, buf, len, flags) kv_recv((s), (buf), (len), (flags))
#define shutdown(s, how) kv_shutdown((s), (how))
#define select(nfds, readfds, writefds, exceptfds, timeout) \
    kv_select((nfds), (readfds), (writefds), (exceptfds), (timeout))
#define getsockname(s, name, namelen) kv_getsockname((s), (name), (namelen))
#define getpeername(s, name, namelen) kv_getpeername((s), (name), (namelen))
#define getsockopt(s, level, optname, optval, optlen) kv_getsockopt((s), (level), (optname), (optval), (optlen))
#define setsockopt(s, level, optname, optval, optlen) kv_setsockopt((s), (level), (optname), (optval), (optlen))
#define gethostname(name, namelen) kv_gethostname((name), (namelen))
#define getaddrinfo(node, service, hints, res) kv_getaddrinfo((node), (service), (hints), (res))
#define freeaddrinfo(ai) kv_freeaddrinfo((ai))

#ifdef __cplusplus
// See point 4 above: bind by overloading, never by macro.
inline int bind(SOCKET s, const struct sockaddr* name, socklen_t namelen) {
    return kv_bind(s, name, (int)namelen);
}
#endif

#endif  // !KVPOSIX_WINSOCK_IMPLEMENTATION
