// Error numbers of the socket-library shim: errno and lookup failures
// turned into the library's numbers, and the per-thread last error that
// every call leaves behind.

#include "platform/winsock/internal.h"

#include <cerrno>
#include <netdb.h>

namespace platform::winsock {

namespace {
thread_local int t_lastError = 0;
} // namespace

namespace detail {

int fail(int error) {
    t_lastError = error;
    return SOCKET_ERROR;
}

int failErrno() {
    return fail(errorFromErrno(errno));
}

void setLastError(int error) {
    t_lastError = error;
}

} // namespace detail

int errorFromErrno(int error) {
    switch (error) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EACCES:
        return WSAEACCES;
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
        return WSAEMFILE;
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
        return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS:
        return WSAEWOULDBLOCK; // a pending connect is "would block"
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EBADF:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
        return WSAENOBUFS;
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case EPIPE:
        return WSAESHUTDOWN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return WSAEINVAL;
    }
}

int errorFromLookup(int eaiError) {
    switch (eaiError) {
    case 0:
        return 0;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return errorFromErrno(errno);
    default:
        return WSANO_RECOVERY;
    }
}

int WSAGetLastError() {
    return t_lastError;
}

void WSASetLastError(int error) {
    t_lastError = error;
}

} // namespace platform::winsock
