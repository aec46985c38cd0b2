// Socket calls of the socket-library shim: POSIX sockets with the
// library's arguments, results and error numbers; address and port
// conversions; the few socket options the library names.

#include "platform/winsock/internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::winsock {

namespace detail {

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = port;
    return sa;
}

void splitAddress(const sockaddr_in& sa, std::uint32_t* address, std::uint16_t* port) {
    if (address)
        *address = sa.sin_addr.s_addr;
    if (port)
        *port = sa.sin_port;
}

} // namespace detail

using namespace detail;

namespace {

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

} // namespace

SOCKET socket(int af, int type, int protocol) {
    if (af != AF_INET_)
        return fail(WSAEAFNOSUPPORT);
    int linuxType = type == SOCK_STREAM_ ? SOCK_STREAM : type == SOCK_DGRAM_ ? SOCK_DGRAM : -1;
    if (linuxType < 0)
        return fail(WSAESOCKTNOSUPPORT);
    ignoreSigpipe();
    int s = ::socket(AF_INET, linuxType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (s < 0)
        return failErrno();
    addRecord(s, linuxType == SOCK_DGRAM ? Kind::Datagram : Kind::Fresh);
    return s;
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
    if (!find(s))
        return fail(WSAENOTSOCK);
    sockaddr_in sa = makeAddress(address, port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
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
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_in sa{};
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
    addRecord(a, Kind::Connected);
    return a;
}

int connect(SOCKET s, std::uint32_t address, std::uint16_t port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_in sa = makeAddress(address, port);
    if (r->kind == Kind::Connected || r->kind == Kind::Listening)
        return fail(r->kind == Kind::Connected ? WSAEISCONN : WSAEINVAL);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
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
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_in sa = makeAddress(address, port);
    ssize_t n = ::sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
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
    ssize_t n = ::recv(s, data, static_cast<size_t>(length), 0);
    int error = errno;
    r->readArmed = true;
    update(s, *r);
    if (n < 0)
        return fail(errorFromErrno(error));
    return static_cast<int>(n);
}

int recvfrom(SOCKET s, void* data, int length, std::uint32_t* address, std::uint16_t* port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_in sa{};
    socklen_t saLength = sizeof sa;
    ssize_t n = ::recvfrom(s, data, static_cast<size_t>(length), 0,
                           reinterpret_cast<sockaddr*>(&sa), &saLength);
    int error = errno;
    r->readArmed = true;
    update(s, *r);
    if (n < 0)
        return fail(errorFromErrno(error));
    splitAddress(sa, address, port);
    return static_cast<int>(n);
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
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return failErrno();
    splitAddress(sa, address, port);
    return 0;
}

int getpeername(SOCKET s, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return failErrno();
    splitAddress(sa, address, port);
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

std::uint16_t toNetworkOrder(std::uint16_t value) {
    return htons(value);
}
std::uint16_t fromNetworkOrder(std::uint16_t value) {
    return ntohs(value);
}

bool parseDottedAddress(const std::string& text, std::uint32_t& address) {
    in_addr a{};
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    address = a.s_addr;
    return true;
}

std::string addressToText(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

} // namespace platform::winsock
