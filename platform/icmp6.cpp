// ICMPv6 echo: the IPv6 counterpart of the echo handle in icmp.cpp, with
// the same choice of datagram or raw socket and the same reply header.

#include "platform/icmp.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <map>
#include <mutex>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace platform::icmp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kUnreachable = 1;
constexpr std::uint8_t kPacketTooBig = 2;
constexpr std::uint8_t kTimeExceeded = 3;
constexpr std::uint8_t kEchoRequest = 128;
constexpr std::uint8_t kEchoReply = 129;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::uint8_t kNextHeaderIcmpv6 = 58;

struct Probe {
    int fd = -1;
    SocketKind kind = SocketKind::Automatic;
    std::uint16_t identifier = 0; // raw sockets only
};

std::mutex g_mutex;
HANDLE g_lastHandle = 0;
std::atomic<std::uint16_t> g_sequence{0};

std::map<HANDLE, Probe>& probes() {
    static auto* map = new std::map<HANDLE, Probe>;
    return *map;
}

std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

void write16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

int openSocket(SocketKind kind) {
    int type = kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    int fd = ::socket(AF_INET6, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd < 0)
        return -1;
    int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
    if (kind == SocketKind::Datagram) {
        // Errors for our requests arrive on the error queue.
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
        // A raw socket sees every ICMPv6 message of the host (the kernel
        // fills in the checksum); keep only those that answer a request.
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (int type : {kEchoReply, kUnreachable, kPacketTooBig, kTimeExceeded})
            ICMP6_FILTER_SETPASS(type, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    return fd;
}

std::uint32_t statusFromIcmp(std::uint8_t type, std::uint8_t code) {
    if (type == kTimeExceeded)
        return IP_TTL_EXPIRED_TRANSIT;
    if (type != kUnreachable)
        return IP_GENERAL_FAILURE;
    switch (code) {
    case 0: // no route
        return IP_DEST_NET_UNREACHABLE;
    case 4:
        return IP_DEST_PORT_UNREACHABLE;
    default:
        return IP_DEST_HOST_UNREACHABLE;
    }
}

std::uint32_t statusFromErrno(int error) {
    switch (error) {
    case ENETUNREACH:
        return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return IP_DEST_HOST_UNREACHABLE;
    case EACCES:
    case EINVAL:
    case EADDRNOTAVAIL:
    case EDESTADDRREQ:
        return IP_BAD_DESTINATION;
    default:
        return IP_GENERAL_FAILURE;
    }
}

struct Outcome {
    enum { Unrelated, Reply, Failure } kind = Unrelated;
    std::uint32_t status = IP_SUCCESS;
    std::uint8_t hopLimit = 0;
    std::uint8_t trafficClass = 0;
    const std::uint8_t* data = nullptr;
    std::size_t dataSize = 0;
};

bool echoMatches(const std::uint8_t* icmp, std::size_t size, std::uint8_t type, const Probe& probe,
                 std::uint16_t sequence) {
    if (size < kHeaderSize || icmp[0] != type || read16(icmp + 6) != sequence)
        return false;
    return probe.kind == SocketKind::Datagram || read16(icmp + 4) == probe.identifier;
}

// Both kinds of socket deliver the ICMPv6 message alone; hop limit and
// traffic class come as ancillary data.
Outcome readMessage(const Probe& probe, std::uint16_t sequence, std::vector<std::uint8_t>& buffer) {
    Outcome out;
    sockaddr_in6 from{};
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(probe.fd, &msg, 0);
    if (n < 0)
        return out;
    auto size = static_cast<std::size_t>(n);
    const std::uint8_t* icmp = buffer.data();
    if (size >= kHeaderSize && icmp[0] != kEchoReply) {
        // An error quotes the IPv6 header and the start of our request.
        if (probe.kind != SocketKind::Raw || size < kHeaderSize + kIpv6HeaderSize + kHeaderSize ||
            icmp[kHeaderSize + 6] != kNextHeaderIcmpv6 ||
            !echoMatches(icmp + kHeaderSize + kIpv6HeaderSize, size - kHeaderSize - kIpv6HeaderSize,
                         kEchoRequest, probe, sequence))
            return out;
        out.kind = Outcome::Failure;
        out.status = statusFromIcmp(icmp[0], icmp[1]);
        return out;
    }
    if (!echoMatches(icmp, size, kEchoReply, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IPV6)
            continue;
        int value = 0;
        std::memcpy(&value, CMSG_DATA(c), sizeof value);
        if (c->cmsg_type == IPV6_HOPLIMIT)
            out.hopLimit = static_cast<std::uint8_t>(value);
        else if (c->cmsg_type == IPV6_TCLASS)
            out.trafficClass = static_cast<std::uint8_t>(value);
    }
    out.kind = Outcome::Reply;
    out.data = icmp + kHeaderSize;
    out.dataSize = size - kHeaderSize;
    return out;
}

Outcome readErrorQueue(const Probe& probe, std::uint16_t sequence,
                       std::vector<std::uint8_t>& buffer) {
    Outcome out;
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[512];
    msghdr msg{};
    sockaddr_in6 target{};
    msg.msg_name = &target;
    msg.msg_namelen = sizeof target;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(probe.fd, &msg, MSG_ERRQUEUE);
    if (n < 0)
        return out;
    auto size = static_cast<std::size_t>(n);
    if (size >= kHeaderSize && !echoMatches(buffer.data(), size, kEchoRequest, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IPV6 || c->cmsg_type != IPV6_RECVERR)
            continue;
        sock_extended_err error{};
        std::memcpy(&error, CMSG_DATA(c), sizeof error);
        out.status = error.ee_origin == SO_EE_ORIGIN_ICMP6
                         ? statusFromIcmp(error.ee_type, error.ee_code)
                         : statusFromErrno(static_cast<int>(error.ee_errno));
        out.kind = Outcome::Failure;
        return out;
    }
    return out;
}

} // namespace

HANDLE Icmp6CreateFile() {
    SocketKind wanted = socketKind();
    Probe probe;
    if (wanted != SocketKind::Raw) {
        probe.fd = openSocket(SocketKind::Datagram);
        probe.kind = SocketKind::Datagram;
    }
    if (probe.fd < 0 && wanted != SocketKind::Datagram) {
        probe.fd = openSocket(SocketKind::Raw);
        probe.kind = SocketKind::Raw;
    }
    if (probe.fd < 0)
        return INVALID_HANDLE_VALUE;
    std::lock_guard lock(g_mutex);
    if (probe.kind == SocketKind::Raw) {
        static std::mt19937 generator{std::random_device{}()};
        probe.identifier = static_cast<std::uint16_t>(generator());
    }
    HANDLE handle = ++g_lastHandle;
    probes()[handle] = probe;
    return handle;
}

bool Icmp6CloseHandle(HANDLE handle) {
    std::lock_guard lock(g_mutex);
    auto it = probes().find(handle);
    if (it == probes().end())
        return false;
    ::close(it->second.fd);
    probes().erase(it);
    return true;
}

SocketKind socketKindOf6(HANDLE handle) {
    std::lock_guard lock(g_mutex);
    auto it = probes().find(handle);
    return it == probes().end() ? SocketKind::Automatic : it->second.kind;
}

std::uint32_t Icmp6SendEcho(HANDLE handle, const std::array<std::uint8_t, 16>& destination,
                            std::uint32_t scope, const void* requestData, std::uint16_t requestSize,
                            void* replyBuffer, std::uint32_t replySize, std::uint32_t timeoutMs) {
    if (replyBuffer == nullptr || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0;
    ICMP_ECHO_REPLY header{};
    auto fail = [&](std::uint32_t status) -> std::uint32_t {
        header.Status = status;
        std::memcpy(replyBuffer, &header, sizeof header);
        return 0;
    };

    Probe probe;
    {
        std::lock_guard lock(g_mutex);
        auto it = probes().find(handle);
        if (it == probes().end())
            return fail(IP_GENERAL_FAILURE);
        probe = it->second;
    }
    if (requestSize > 0 && requestData == nullptr)
        return fail(IP_GENERAL_FAILURE);
    if (replySize < sizeof(ICMP_ECHO_REPLY) + requestSize + kHeaderSize)
        return fail(IP_BUF_TOO_SMALL);
    // "::" would be answered by this host, like 0.0.0.0.
    if (std::all_of(destination.begin(), destination.end(), [](std::uint8_t b) { return b == 0; }))
        return fail(IP_BAD_DESTINATION);

    std::uint16_t sequence = ++g_sequence;
    std::vector<std::uint8_t> packet(kHeaderSize + requestSize);
    packet[0] = kEchoRequest;
    write16(&packet[4], probe.identifier);
    write16(&packet[6], sequence);
    if (requestSize > 0)
        std::memcpy(&packet[kHeaderSize], requestData, requestSize);

    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    std::memcpy(&to.sin6_addr, destination.data(), destination.size());
    to.sin6_scope_id = scope;
    Clock::time_point sent = Clock::now();
    Clock::time_point deadline = sent + std::chrono::milliseconds(timeoutMs);
    if (::sendto(probe.fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return fail(statusFromErrno(errno));

    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return fail(IP_REQ_TIMED_OUT);
        auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd pfd{probe.fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::min<decltype(rest)>(rest, 60000)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return fail(IP_GENERAL_FAILURE);
        }
        if (ready == 0)
            continue;
        Outcome outcome;
        if (pfd.revents & POLLERR) {
            if (probe.kind == SocketKind::Datagram) {
                outcome = readErrorQueue(probe, sequence, buffer);
            } else {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(probe.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
        if (outcome.kind == Outcome::Unrelated && (pfd.revents & POLLIN))
            outcome = readMessage(probe, sequence, buffer);
        if (outcome.kind == Outcome::Failure)
            return fail(outcome.status);
        if (outcome.kind != Outcome::Reply)
            continue;

        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
        std::size_t room = replySize - sizeof(ICMP_ECHO_REPLY);
        std::size_t echoed = std::min(outcome.dataSize, room);
        header.Status = IP_SUCCESS;
        header.RoundTripTime = static_cast<std::uint32_t>(elapsed.count());
        header.DataSize = static_cast<std::uint16_t>(echoed);
        header.DataPointer = sizeof(ICMP_ECHO_REPLY);
        header.Ttl = outcome.hopLimit;
        header.Tos = outcome.trafficClass;
        std::memcpy(replyBuffer, &header, sizeof header);
        if (echoed > 0)
            std::memcpy(static_cast<std::uint8_t*>(replyBuffer) + sizeof header, outcome.data,
                        echoed);
        return 1;
    }
}

} // namespace platform::icmp
