#include "platform/icmp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace platform::icmp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::size_t kIcmpHeaderSize = 8;
// The raw socket's type filter (a Linux option of raw ICMP sockets): a set
// bit drops that message type before it reaches the socket.
constexpr int kIcmpFilterOption = 1;

struct Probe {
    int fd = -1;
    SocketKind kind = SocketKind::Automatic;
    std::uint16_t identifier = 0; // raw sockets only; the kernel owns it for datagram sockets
};

std::mutex g_mutex;
SocketKind g_kind = SocketKind::Automatic;
HANDLE g_lastHandle = 0;
std::atomic<std::uint16_t> g_sequence{0};

std::map<HANDLE, Probe>& probes() {
    static auto* map = new std::map<HANDLE, Probe>;
    return *map;
}

std::uint16_t randomIdentifier() {
    static std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint16_t>(generator());
}

std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

void write16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

std::uint16_t internetChecksum(const std::uint8_t* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += read16(data + i);
    if (size & 1)
        sum += static_cast<std::uint32_t>(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

int openSocket(SocketKind kind) {
    int type = kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return -1;
    int on = 1;
    if (kind == SocketKind::Datagram) {
        // ICMP errors for our requests arrive on the error queue, with TTL
        // and TOS of replies as ancillary data.
        ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
        ::setsockopt(fd, SOL_IP, IP_RECVTTL, &on, sizeof on);
        ::setsockopt(fd, SOL_IP, IP_RECVTOS, &on, sizeof on);
    } else {
        // A raw socket sees every ICMP message of the host; keep only the
        // ones that can answer an echo request.
        std::uint32_t drop =
            ~((1u << kEchoReply) | (1u << kDestinationUnreachable) | (1u << kTimeExceeded));
        ::setsockopt(fd, SOL_RAW, kIcmpFilterOption, &drop, sizeof drop);
    }
    return fd;
}

std::uint32_t statusFromIcmp(std::uint8_t type, std::uint8_t code) {
    if (type == kTimeExceeded)
        return IP_TTL_EXPIRED_TRANSIT;
    switch (code) {
    case 0:  // network unreachable
    case 6:  // network unknown
    case 11: // network unreachable for this type of service
        return IP_DEST_NET_UNREACHABLE;
    case 2:
        return IP_DEST_PROT_UNREACHABLE;
    case 3:
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
    case EACCES: // broadcast, or a prohibiting route
    case EINVAL: // a black-hole route
    case EADDRNOTAVAIL:
    case EDESTADDRREQ:
        return IP_BAD_DESTINATION;
    default:
        return IP_GENERAL_FAILURE;
    }
}

// What one packet from the socket meant for the request under way.
struct Outcome {
    enum { Unrelated, Reply, Failure } kind = Unrelated;
    std::uint32_t status = IP_SUCCESS;
    std::uint32_t address = 0;
    std::uint8_t ttl = 0;
    std::uint8_t tos = 0;
    std::uint8_t flags = 0;
    const std::uint8_t* data = nullptr;
    std::size_t dataSize = 0;
};

bool echoMatches(const std::uint8_t* icmp, std::size_t size, std::uint8_t type, const Probe& probe,
                 std::uint16_t sequence) {
    if (size < kIcmpHeaderSize || icmp[0] != type || read16(icmp + 6) != sequence)
        return false;
    return probe.kind == SocketKind::Datagram || read16(icmp + 4) == probe.identifier;
}

// A raw socket delivers the IP header, then the ICMP message.
Outcome parseRaw(const std::uint8_t* packet, std::size_t size, const Probe& probe,
                 std::uint16_t sequence) {
    Outcome out;
    if (size < 20)
        return out;
    std::size_t ipHeader = (packet[0] & 0x0F) * 4u;
    if (ipHeader < 20 || size < ipHeader + kIcmpHeaderSize)
        return out;
    const std::uint8_t* icmp = packet + ipHeader;
    std::size_t icmpSize = size - ipHeader;
    out.tos = packet[1];
    out.flags = static_cast<std::uint8_t>(packet[6] >> 5);
    out.ttl = packet[8];
    std::memcpy(&out.address, packet + 12, 4);
    if (icmp[0] == kEchoReply) {
        if (!echoMatches(icmp, icmpSize, kEchoReply, probe, sequence))
            return out;
        out.kind = Outcome::Reply;
        out.data = icmp + kIcmpHeaderSize;
        out.dataSize = icmpSize - kIcmpHeaderSize;
        return out;
    }
    if (icmp[0] != kDestinationUnreachable && icmp[0] != kTimeExceeded)
        return out;
    // An error quotes the IP header and the first 8 bytes of our request.
    const std::uint8_t* quoted = icmp + kIcmpHeaderSize;
    std::size_t quotedSize = icmpSize - kIcmpHeaderSize;
    if (quotedSize < 20 || quoted[9] != IPPROTO_ICMP)
        return out;
    std::size_t quotedHeader = (quoted[0] & 0x0F) * 4u;
    if (quotedHeader < 20 || quotedSize < quotedHeader + kIcmpHeaderSize)
        return out;
    if (!echoMatches(quoted + quotedHeader, quotedSize - quotedHeader, kEchoRequest, probe,
                     sequence))
        return out;
    out.kind = Outcome::Failure;
    out.status = statusFromIcmp(icmp[0], icmp[1]);
    return out;
}

Outcome readRaw(const Probe& probe, std::uint16_t sequence, std::vector<std::uint8_t>& buffer) {
    ssize_t n = ::recv(probe.fd, buffer.data(), buffer.size(), 0);
    if (n < 0)
        return {};
    return parseRaw(buffer.data(), static_cast<std::size_t>(n), probe, sequence);
}

// A datagram socket delivers the ICMP message alone; the kernel has already
// kept only answers to this socket's identifier.
Outcome readDatagram(const Probe& probe, std::uint16_t sequence,
                     std::vector<std::uint8_t>& buffer) {
    Outcome out;
    sockaddr_in from{};
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
    if (!echoMatches(buffer.data(), size, kEchoReply, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP)
            continue;
        if (c->cmsg_type == IP_TTL) {
            int ttl = 0;
            std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
            out.ttl = static_cast<std::uint8_t>(ttl);
        } else if (c->cmsg_type == IP_TOS) {
            out.tos = *CMSG_DATA(c);
        }
    }
    out.kind = Outcome::Reply;
    out.address = from.sin_addr.s_addr;
    out.data = buffer.data() + kIcmpHeaderSize;
    out.dataSize = size - kIcmpHeaderSize;
    return out;
}

// ICMP errors for a datagram socket's requests wait on its error queue,
// each with the start of the request it answers.
Outcome readErrorQueue(const Probe& probe, std::uint16_t sequence,
                       std::vector<std::uint8_t>& buffer) {
    Outcome out;
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[512];
    msghdr msg{};
    sockaddr_in target{};
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
    if (size >= kIcmpHeaderSize && !echoMatches(buffer.data(), size, kEchoRequest, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err error{};
        std::memcpy(&error, CMSG_DATA(c), sizeof error);
        if (error.ee_origin == SO_EE_ORIGIN_ICMP) {
            out.status = statusFromIcmp(error.ee_type, error.ee_code);
            sockaddr_in offender{};
            std::memcpy(&offender, CMSG_DATA(c) + sizeof error, sizeof offender);
            out.address = offender.sin_addr.s_addr;
        } else {
            out.status = statusFromErrno(static_cast<int>(error.ee_errno));
            out.address = target.sin_addr.s_addr;
        }
        out.kind = Outcome::Failure;
        return out;
    }
    return out;
}

} // namespace

void setSocketKind(SocketKind kind) {
    std::lock_guard lock(g_mutex);
    g_kind = kind;
}

SocketKind socketKind() {
    std::lock_guard lock(g_mutex);
    return g_kind;
}

SocketKind socketKindOf(HANDLE handle) {
    std::lock_guard lock(g_mutex);
    auto it = probes().find(handle);
    return it == probes().end() ? SocketKind::Automatic : it->second.kind;
}

HANDLE IcmpCreateFile() {
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
    if (probe.kind == SocketKind::Raw)
        probe.identifier = randomIdentifier();
    HANDLE handle = ++g_lastHandle;
    probes()[handle] = probe;
    return handle;
}

bool IcmpCloseHandle(HANDLE handle) {
    std::lock_guard lock(g_mutex);
    auto it = probes().find(handle);
    if (it == probes().end())
        return false;
    ::close(it->second.fd);
    probes().erase(it);
    return true;
}

std::uint32_t IcmpSendEcho(HANDLE handle, std::uint32_t destination, const void* requestData,
                           std::uint16_t requestSize, const void* requestOptions, void* replyBuffer,
                           std::uint32_t replySize, std::uint32_t timeoutMs) {
    if (replyBuffer == nullptr || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0; // nowhere to say why
    ICMP_ECHO_REPLY header{};
    auto fail = [&](std::uint32_t status, std::uint32_t address) -> std::uint32_t {
        header.Status = status;
        header.Address = address;
        std::memcpy(replyBuffer, &header, sizeof header);
        return 0;
    };

    Probe probe;
    {
        std::lock_guard lock(g_mutex);
        auto it = probes().find(handle);
        if (it == probes().end())
            return fail(IP_GENERAL_FAILURE, 0);
        probe = it->second;
    }
    if (requestOptions != nullptr || (requestSize > 0 && requestData == nullptr))
        return fail(IP_GENERAL_FAILURE, 0);
    if (replySize < sizeof(ICMP_ECHO_REPLY) + requestSize + kIcmpHeaderSize)
        return fail(IP_BUF_TOO_SMALL, 0);
    // 0.0.0.0 means "this host" to Linux, which would answer it locally:
    // never a destination anyone meant to test.
    if (destination == 0)
        return fail(IP_BAD_DESTINATION, 0);

    std::uint16_t sequence = ++g_sequence;
    std::vector<std::uint8_t> packet(kIcmpHeaderSize + requestSize);
    packet[0] = kEchoRequest;
    write16(&packet[4], probe.identifier);
    write16(&packet[6], sequence);
    if (requestSize > 0)
        std::memcpy(&packet[kIcmpHeaderSize], requestData, requestSize);
    write16(&packet[2], internetChecksum(packet.data(), packet.size()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    Clock::time_point sent = Clock::now();
    Clock::time_point deadline = sent + std::chrono::milliseconds(timeoutMs);
    if (::sendto(probe.fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return fail(statusFromErrno(errno), destination);

    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return fail(IP_REQ_TIMED_OUT, destination);
        // Round the wait up so that the loop never spins on a sub-millisecond
        // rest, and wait at most a minute at a time (poll takes an int).
        auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd pfd{probe.fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::min<decltype(rest)>(rest, 60000)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return fail(IP_GENERAL_FAILURE, destination);
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
            outcome = probe.kind == SocketKind::Datagram ? readDatagram(probe, sequence, buffer)
                                                         : readRaw(probe, sequence, buffer);
        if (outcome.kind == Outcome::Failure)
            return fail(outcome.status, outcome.address);
        if (outcome.kind != Outcome::Reply)
            continue;

        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
        std::size_t room = replySize - sizeof(ICMP_ECHO_REPLY);
        std::size_t echoed = outcome.dataSize < room ? outcome.dataSize : room;
        header.Address = outcome.address;
        header.Status = IP_SUCCESS;
        header.RoundTripTime = static_cast<std::uint32_t>(elapsed.count());
        header.DataSize = static_cast<std::uint16_t>(echoed);
        header.DataPointer = sizeof(ICMP_ECHO_REPLY);
        header.Ttl = outcome.ttl;
        header.Tos = outcome.tos;
        header.Flags = outcome.flags;
        std::memcpy(replyBuffer, &header, sizeof header);
        if (echoed > 0)
            std::memcpy(static_cast<std::uint8_t*>(replyBuffer) + sizeof header, outcome.data,
                        echoed);
        return 1;
    }
}

} // namespace platform::icmp
