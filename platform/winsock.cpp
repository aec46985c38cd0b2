#include "platform/winsock.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace platform::winsock {

namespace {

thread_local int t_lastError = 0;

int fail(int error) {
    t_lastError = error;
    return SOCKET_ERROR;
}
int failErrno() {
    return fail(errorFromErrno(errno));
}

// --- per-socket notification state ------------------------------------------

enum class Kind { Fresh, Connecting, Connected, Listening, Datagram };

struct Record {
    Kind kind = Kind::Fresh;
    WindowHandle window = 0;
    MessageId message = 0;
    long mask = 0;
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    bool closeSent = false;
};

std::unordered_map<SOCKET, Record>& records() {
    static auto* map = new std::unordered_map<SOCKET, Record>;
    return *map;
}

Record* find(SOCKET s) {
    auto it = records().find(s);
    return it == records().end() ? nullptr : &it->second;
}

EventLoop& loop() {
    return EventLoop::instance();
}

void post(SOCKET s, const Record& r, long event, int error) {
    if (r.window != 0 && (r.mask & event))
        loop().postMessage(r.window, r.message, s, makeSelectReply(event, error));
}

// The epoll events that can lead to a notification the socket still owes.
constexpr std::uint32_t In = EPOLLIN, Out = EPOLLOUT, ReadHangUp = EPOLLRDHUP;

std::uint32_t interest(const Record& r) {
    if (r.window == 0 || r.mask == 0 || r.closeSent)
        return 0;
    switch (r.kind) {
    case Kind::Fresh:
        return 0; // an unconnected stream socket polls as hung up
    case Kind::Connecting:
        return Out;
    case Kind::Listening:
        return r.acceptArmed ? In : 0;
    case Kind::Datagram:
        return (r.readArmed ? In : 0) | (r.writeArmed ? Out : 0);
    case Kind::Connected:
        return (r.readArmed ? In : 0) | ReadHangUp | (r.writeArmed ? Out : 0);
    }
    return 0;
}

void update(SOCKET s, const Record& r) {
    loop().setFdEvents(s, interest(r));
}

int socketError(SOCKET s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

void onReady(SOCKET s, std::uint32_t events) {
    Record* r = find(s);
    if (!r)
        return;
    switch (r->kind) {
    case Kind::Connecting:
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
            int error = errorFromErrno(socketError(s));
            post(s, *r, FD_CONNECT, error);
            if (error == 0) {
                r->kind = Kind::Connected;
                post(s, *r, FD_WRITE, 0);
            } else {
                r->closeSent = true; // the attempt is over; nothing more to tell
            }
        }
        break;
    case Kind::Listening:
        if ((events & EPOLLIN) && r->acceptArmed) {
            r->acceptArmed = false;
            post(s, *r, FD_ACCEPT, 0);
        }
        break;
    case Kind::Datagram:
        if (events & EPOLLERR)
            socketError(s); // an ICMP error for an earlier datagram; nothing to report
        if ((events & EPOLLIN) && r->readArmed) {
            r->readArmed = false;
            post(s, *r, FD_READ, 0);
        }
        if ((events & EPOLLOUT) && r->writeArmed) {
            r->writeArmed = false;
            post(s, *r, FD_WRITE, 0);
        }
        break;
    case Kind::Connected: {
        if (events & EPOLLERR) {
            int error = errorFromErrno(socketError(s));
            if (error != 0) {
                r->closeSent = true;
                post(s, *r, FD_CLOSE, error);
                break;
            }
        }
        if ((events & EPOLLIN) && r->readArmed) {
            int waiting = 0;
            if (::ioctl(s, FIONREAD, &waiting) == 0 && waiting > 0) {
                r->readArmed = false;
                post(s, *r, FD_READ, 0);
            }
        }
        if ((events & EPOLLOUT) && r->writeArmed) {
            r->writeArmed = false;
            post(s, *r, FD_WRITE, 0);
        }
        if (events & (EPOLLRDHUP | EPOLLHUP)) {
            r->closeSent = true;
            post(s, *r, FD_CLOSE, 0);
        }
        break;
    }
    case Kind::Fresh:
        break;
    }
    update(s, *r);
}

// --- start-up -----------------------------------------------------------------

std::mutex g_startupMutex;
int g_startups = 0;
int g_startupFailure = 0;
int g_cleanupFailure = 0;
std::optional<WSAData> g_startupGrant;

// Sending on a connection the peer has reset must fail with an error, not
// end the process. Every send also passes MSG_NOSIGNAL; this covers the
// rest of the process as well.
void ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

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

std::mutex g_resolverMutex;
std::shared_ptr<Resolver> g_resolver;
std::atomic<std::int32_t> g_lastTask{0};

class SystemResolver : public Resolver {
public:
    int lookup(const std::string& name, HostEntry& entry) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* result = nullptr;
        int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
        if (rc != 0)
            return errorFromLookup(rc);
        entry = HostEntry{};
        for (addrinfo* ai = result; ai; ai = ai->ai_next) {
            if (ai->ai_canonname && entry.name.empty())
                entry.name = ai->ai_canonname;
            if (ai->ai_family == AF_INET)
                entry.addresses.push_back(
                    reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
        }
        ::freeaddrinfo(result);
        if (entry.name.empty())
            entry.name = name;
        return entry.addresses.empty() ? WSANO_DATA : 0;
    }

    std::string reverse(std::uint32_t address) override {
        sockaddr_in sa = makeAddress(address, 0);
        char host[NI_MAXHOST];
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                          0, NI_NAMEREQD) != 0)
            return {};
        return host;
    }
};

} // namespace

// --- errors -------------------------------------------------------------------

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

// --- start-up -----------------------------------------------------------------

int WSAStartup(std::uint16_t versionRequested, WSAData& data) {
    std::lock_guard lock(g_startupMutex);
    if (g_startupFailure != 0) {
        t_lastError = g_startupFailure;
        return g_startupFailure;
    }
    // Version 1.1 is the highest offered; older requests are refused.
    std::uint8_t major = versionRequested & 0xFF, minor = versionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1)) {
        t_lastError = WSAVERNOTSUPPORTED;
        return WSAVERNOTSUPPORTED;
    }
    ignoreSigpipe();
    rlimit limit{};
    unsigned long sockets = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        sockets = limit.rlim_cur;
    data.wVersion = 0x0101;
    data.wHighVersion = 0x0101;
    data.iMaxSockets = static_cast<std::uint16_t>(sockets > 0xFFFF ? 0xFFFF : sockets);
    data.iMaxUdpDg = 65507; // 65535 less the IPv4 and UDP headers
    data.szDescription = "POSIX sockets";
    if (g_startupGrant) {
        data.wVersion = g_startupGrant->wVersion;
        data.iMaxSockets = g_startupGrant->iMaxSockets;
    }
    ++g_startups;
    t_lastError = 0;
    return 0;
}

int WSACleanup() {
    std::lock_guard lock(g_startupMutex);
    if (g_cleanupFailure != 0)
        return fail(g_cleanupFailure);
    if (g_startups == 0)
        return fail(WSANOTINITIALISED);
    --g_startups;
    return 0;
}

int startupCount() {
    std::lock_guard lock(g_startupMutex);
    return g_startups;
}

void setStartupFailure(int result) {
    std::lock_guard lock(g_startupMutex);
    g_startupFailure = result;
}

void setCleanupFailure(int error) {
    std::lock_guard lock(g_startupMutex);
    g_cleanupFailure = error;
}

void setStartupGrant(std::optional<WSAData> grant) {
    std::lock_guard lock(g_startupMutex);
    g_startupGrant = std::move(grant);
}

// --- sockets -------------------------------------------------------------------

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
    Record r;
    r.kind = linuxType == SOCK_DGRAM ? Kind::Datagram : Kind::Fresh;
    records()[s] = r;
    return s;
}

int closesocket(SOCKET s) {
    auto it = records().find(s);
    if (it == records().end())
        return fail(WSAENOTSOCK);
    Record r = it->second;
    records().erase(it);
    loop().unwatchFd(s);
    if (r.window != 0) {
        loop().removeMessages([&](const Message& m) {
            return m.window == r.window && m.message == r.message && m.wParam == s;
        });
    }
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
    r->acceptArmed = true;
    update(s, *r);
    if (a < 0)
        return fail(errorFromErrno(error));
    splitAddress(sa, address, port);
    Record accepted;
    accepted.kind = Kind::Connected;
    records()[a] = accepted;
    return a;
}

int connect(SOCKET s, std::uint32_t address, std::uint16_t port) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    sockaddr_in sa = makeAddress(address, port);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int error = rc == 0 ? 0 : errno;
    if (r->kind == Kind::Datagram)
        return rc == 0 ? 0 : fail(errorFromErrno(error));
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

int WSAAsyncSelect(SOCKET s, WindowHandle window, MessageId message, long mask) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    if (mask != 0 && !loop().isWindow(window))
        return fail(WSAEINVAL);
    r->window = mask == 0 ? 0 : window;
    r->message = message;
    r->mask = mask;
    if (mask == 0) {
        loop().unwatchFd(s);
        return 0;
    }
    r->readArmed = true;
    r->acceptArmed = true;
    loop().watchFd(s, onReady);
    // A connected socket can take data at once: say so, as after a connect.
    if (r->kind == Kind::Connected && !r->closeSent)
        post(s, *r, FD_WRITE, 0);
    update(s, *r);
    return 0;
}

// --- host names -------------------------------------------------------------------

std::shared_ptr<Resolver> systemResolver() {
    static auto resolver = std::make_shared<SystemResolver>();
    return resolver;
}

void setResolver(std::shared_ptr<Resolver> resolver) {
    std::lock_guard lock(g_resolverMutex);
    g_resolver = std::move(resolver);
}

std::shared_ptr<Resolver> currentResolver() {
    std::lock_guard lock(g_resolverMutex);
    return g_resolver ? g_resolver : systemResolver();
}

std::int32_t WSAAsyncGetHostByName(WindowHandle window, MessageId message, const std::string& name,
                                   std::shared_ptr<HostEntry> buffer) {
    if (!buffer || !loop().isWindow(window)) {
        t_lastError = WSAEINVAL;
        return 0;
    }
    std::int32_t task = ++g_lastTask;
    if (task <= 0) { // wrapped around: task handles stay positive
        g_lastTask = 1;
        task = 1;
    }
    auto resolver = currentResolver();
    try {
        std::thread([resolver, name, buffer, window, message, task] {
            HostEntry entry;
            int error = resolver->lookup(name, entry);
            if (error == 0)
                *buffer = std::move(entry);
            EventLoop::instance().postMessageFromAnyThread(
                window, message, task, static_cast<std::intptr_t>(error & 0xFFFF) << 16);
        }).detach();
    } catch (const std::system_error&) {
        t_lastError = WSAENOBUFS;
        return 0;
    }
    return task;
}

bool gethostbyaddr(std::uint32_t address, std::string& name) {
    name = currentResolver()->reverse(address);
    if (name.empty()) {
        t_lastError = WSAHOST_NOT_FOUND;
        return false;
    }
    return true;
}

} // namespace platform::winsock
