// Socket calls of the socket-library shim: POSIX sockets of either
// address family with the library's arguments, results and error numbers;
// the few socket options the library names.

#include "platform/winsock/internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::winsock {

using namespace detail;

namespace {

thread_local DataCalls dataCalls;

bool mapOption(int level, int option, int& linuxLevel, int& linuxOption) {
    if (level != SOL_SOCKET_)
        return false;
    linuxLevel = SOL_SOCKET;
    switch (option) {
    case SO_BROADCAST_:
        linuxOption = SO_BROADCAST;
        return true;
    case SO_RCVBUF_:
        linuxOption = SO_RCVBUF;
        return true;
    case SO_TYPE_:
        linuxOption = SO_TYPE;
        return true;
    default:
        return false;
    }
}

// An IPv4 address as an IPv6 socket takes it: mapped (::ffff:a.b.c.d).
InetAddress forSocket(const Record& r, const InetAddress& address) {
    if (!r.ipv6 || address.family != AF_INET_)
        return address;
    InetAddress mapped;
    mapped.family = AF_INET6_;
    mapped.bytes[10] = 0xFF;
    mapped.bytes[11] = 0xFF;
    std::memcpy(mapped.bytes.data() + 12, address.bytes.data(), 4);
    return mapped;
}

int linuxFamily(int af) {
    return af == AF_INET_ ? AF_INET : af == AF_INET6_ ? AF_INET6 : -1;
}

// An IPv6 socket takes IPv4 peers too (as mapped addresses) where the
// system allows it, so a listener on "::" serves both families.
void allowBothFamilies(int s, int af) {
    if (af != AF_INET6)
        return;
    int off = 0;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
}

// The address of an IPv4 peer of a socket that serves both families, as
// the IPv4 address it is.
void unmapAddress(InetAddress& a) {
    static const std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (a.family != AF_INET6_ || std::memcmp(a.bytes.data(), prefix, sizeof prefix) != 0)
        return;
    std::uint32_t v4 = 0;
    std::memcpy(&v4, a.bytes.data() + 12, sizeof v4);
    a = InetAddress::fromIPv4(v4);
}

} // namespace

SOCKET socket(int af, int type, int protocol) {
    int family = linuxFamily(af);
    if (family < 0)
        return fail(WSAEAFNOSUPPORT);
    int linuxType = type == SOCK_STREAM_ ? SOCK_STREAM : type == SOCK_DGRAM_ ? SOCK_DGRAM : -1;
    if (linuxType < 0)
        return fail(WSAESOCKTNOSUPPORT);
    ignoreSigpipe();
    int s = ::socket(family, linuxType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (s < 0)
        return failErrno();
    allowBothFamilies(s, family);
    addRecord(s, linuxType == SOCK_DGRAM ? Kind::Datagram : Kind::Fresh).ipv6 = family == AF_INET6;
    return s;
}

int socketFamily(SOCKET s) {
    int domain = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0)
        return failErrno();
    return domain == AF_INET6 ? AF_INET6_ : domain == AF_INET ? AF_INET_ : fail(WSAEAFNOSUPPORT);
}

int renewSocket(SOCKET s, int af) {
    if (!find(s))
        return fail(WSAENOTSOCK);
    int family = linuxFamily(af);
    if (family < 0)
        return fail(WSAEAFNOSUPPORT);
    int type = 0, protocol = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
        return failErrno();
    length = sizeof protocol;
    if (::getsockopt(s, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0)
        return failErrno();
    int fresh = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fresh < 0)
        return failErrno();
    allowBothFamilies(fresh, family);
    // The old socket leaves the loop's wait set before its descriptor
    // number is given to the new one.
    restartRecord(s, Kind::Fresh);
    int rc = ::dup3(fresh, s, O_CLOEXEC);
    int error = errno;
    ::close(fresh);
    if (rc < 0)
        return fail(errorFromErrno(error));
    Record* r = find(s);
    r->kind = type == SOCK_DGRAM ? Kind::Datagram : Kind::Fresh;
    r->ipv6 = family == AF_INET6;
    update(s, *r);
    return 0;
}

int closesocket(SOCKET s) {
    if (!find(s))
        return fail(WSAENOTSOCK);
    dropRecord(s);
    if (::close(s) != 0)
        return failErrno();
    return 0;
}

int bind(SOCKET s, std::uint32_t address, std::uint16_t port) {
    return bind(s, InetAddress::fromIPv4(address), port);
}

int bind(SOCKET s, const InetAddress& address, std::uint16_t port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_storage sa;
    socklen_t length = makeAddress(forSocket(*r, address), port, sa);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), length) != 0)
        return failErrno();
    return 0;
}

int listen(SOCKET s, int backlog) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    if (::listen(s, backlog) != 0)
        return failErrno();
    r->kind = Kind::Listening;
    r->acceptArmed = true;
    update(s, *r);
    return 0;
}

SOCKET accept(SOCKET s, std::uint32_t* address, std::uint16_t* port) {
    InetAddress a;
    SOCKET result = accept(s, &a, port);
    if (result != INVALID_SOCKET && address)
        *address = a.ipv4();
    return result;
}

SOCKET accept(SOCKET s, InetAddress* address, std::uint16_t* port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    int a = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int error = errno;
    if (a < 0 && (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)) {
        // The request stays queued and the socket stays readable: watching
        // it now would report the same refusal as fast as the loop turns.
        backOffAccept(s, *r);
        return fail(errorFromErrno(error));
    }
    r->acceptArmed = true;
    update(s, *r);
    if (a < 0)
        return fail(errorFromErrno(error));
    splitAddress(sa, address, port);
    if (address)
        unmapAddress(*address);
    addRecord(a, Kind::Connected).ipv6 = r->ipv6;
    return a;
}

int connect(SOCKET s, std::uint32_t address, std::uint16_t port) {
    return connect(s, InetAddress::fromIPv4(address), port);
}

int connect(SOCKET s, const InetAddress& address, std::uint16_t port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_storage sa;
    socklen_t saLength = makeAddress(forSocket(*r, address), port, sa);
    if (r->kind == Kind::Connected || r->kind == Kind::Listening)
        return fail(r->kind == Kind::Connected ? WSAEISCONN : WSAEINVAL);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), saLength);
    int error = rc == 0 ? 0 : errno;
    if (r->kind == Kind::Datagram)
        return rc == 0 ? 0 : fail(errorFromErrno(error));
    if (r->kind == Kind::Connecting && (rc == 0 || error == EISCONN))
        return fail(WSAEISCONN); // the earlier attempt has just completed; its FD_CONNECT follows
    switch (error) {
    case 0:
    case EINPROGRESS:
        r->kind = Kind::Connecting;
        r->closeSent = false;
        update(s, *r);
        return fail(WSAEWOULDBLOCK);
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
        // Known at once, reported as the library would: with the connect notification.
        r->kind = Kind::Connecting;
        r->closeSent = true;
        post(s, *r, FD_CONNECT, errorFromErrno(error));
        return fail(WSAEWOULDBLOCK);
    default:
        return fail(errorFromErrno(error));
    }
}

int send(SOCKET s, const void* data, int length) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    ++dataCalls.sends;
    ssize_t n = ::send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    int error = errno;
    if (n < 0 || n < length) {
        // The socket is full: tell the caller once it takes data again.
        r->writeArmed = true;
        update(s, *r);
    }
    if (n < 0)
        return fail(errorFromErrno(error));
    return static_cast<int>(n);
}

int sendto(SOCKET s, const void* data, int length, std::uint32_t address, std::uint16_t port) {
    return sendto(s, data, length, InetAddress::fromIPv4(address), port);
}

int sendto(SOCKET s, const void* data, int length, const InetAddress& address, std::uint16_t port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_storage sa;
    socklen_t saLength = makeAddress(forSocket(*r, address), port, sa);
    ++dataCalls.sends;
    ssize_t n = ::sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&sa), saLength);
    int error = errno;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        r->writeArmed = true;
        update(s, *r);
    }
    if (n < 0)
        return fail(errorFromErrno(error));
    return static_cast<int>(n);
}

int recv(SOCKET s, void* data, int length) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    ++dataCalls.receives;
    ssize_t n = ::recv(s, data, static_cast<size_t>(length), 0);
    int error = errno;
    r->readArmed = true;
    update(s, *r);
    if (n < 0)
        return fail(errorFromErrno(error));
    return static_cast<int>(n);
}

int recvfrom(SOCKET s, void* data, int length, std::uint32_t* address, std::uint16_t* port) {
    InetAddress a;
    int n = recvfrom(s, data, length, &a, port);
    if (n >= 0 && address)
        *address = a.ipv4();
    return n;
}

int recvfrom(SOCKET s, void* data, int length, InetAddress* address, std::uint16_t* port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_storage sa{};
    socklen_t saLength = sizeof sa;
    ++dataCalls.receives;
    ssize_t n = ::recvfrom(s, data, static_cast<size_t>(length), 0,
                           reinterpret_cast<sockaddr*>(&sa), &saLength);
    int error = errno;
    r->readArmed = true;
    update(s, *r);
    if (n < 0)
        return fail(errorFromErrno(error));
    splitAddress(sa, address, port);
    if (address)
        unmapAddress(*address);
    return static_cast<int>(n);
}

int ioctlsocket(SOCKET s, long command, std::uint32_t* argument) {
    if (!find(s))
        return fail(WSAENOTSOCK);
    if (command != FIONREAD_)
        return fail(WSAEINVAL);
    int waiting = 0;
    if (::ioctl(s, FIONREAD, &waiting) != 0)
        return failErrno();
    *argument = static_cast<std::uint32_t>(waiting);
    return 0;
}

const DataCalls& dataCallCounts() {
    return dataCalls;
}

int shutdown(SOCKET s, int how) {
    if (!find(s))
        return fail(WSAENOTSOCK);
    int linuxHow = how == 0 ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(s, linuxHow) != 0)
        return failErrno();
    return 0;
}

int getsockname(SOCKET s, std::uint32_t* address, std::uint16_t* port) {
    InetAddress a;
    if (getsockname(s, &a, port) != 0)
        return SOCKET_ERROR;
    if (address)
        *address = a.ipv4();
    return 0;
}

int getsockname(SOCKET s, InetAddress* address, std::uint16_t* port) {
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return failErrno();
    splitAddress(sa, address, port);
    if (address)
        unmapAddress(*address);
    return 0;
}

int getpeername(SOCKET s, std::uint32_t* address, std::uint16_t* port) {
    InetAddress a;
    if (getpeername(s, &a, port) != 0)
        return SOCKET_ERROR;
    if (address)
        *address = a.ipv4();
    return 0;
}

int getpeername(SOCKET s, InetAddress* address, std::uint16_t* port) {
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return failErrno();
    splitAddress(sa, address, port);
    if (address)
        unmapAddress(*address);
    return 0;
}

int getsockopt(SOCKET s, int level, int option, int* value) {
    int linuxLevel = 0, linuxOption = 0;
    if (!mapOption(level, option, linuxLevel, linuxOption))
        return fail(WSAENOPROTOOPT);
    socklen_t length = sizeof *value;
    if (::getsockopt(s, linuxLevel, linuxOption, value, &length) != 0)
        return failErrno();
    return 0;
}

int setsockopt(SOCKET s, int level, int option, int value) {
    int linuxLevel = 0, linuxOption = 0;
    if (!mapOption(level, option, linuxLevel, linuxOption))
        return fail(WSAENOPROTOOPT);
    if (::setsockopt(s, linuxLevel, linuxOption, &value, sizeof value) != 0)
        return failErrno();
    return 0;
}

} // namespace platform::winsock
