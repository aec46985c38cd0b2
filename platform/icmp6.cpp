// ICMPv6 echo: the IPv6 counterpart of the echo handle in icmp.cpp, with
// the same choice of datagram or raw socket and the same reply header.

#include "platform/icmp.h"
#include "platform/icmp_probe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <vector>

namespace platform::icmp {

using namespace detail;

namespace {

constexpr std::uint8_t kUnreachable = 1;
constexpr std::uint8_t kPacketTooBig = 2;
constexpr std::uint8_t kTimeExceeded = 3;
constexpr std::uint8_t kEchoRequest = 128;
constexpr std::uint8_t kEchoReply = 129;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::uint8_t kNextHeaderIcmpv6 = 58;

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

// Both kinds of socket deliver the ICMPv6 message alone; hop limit and
// traffic class come as ancillary data.
Outcome readMessage(const Probe& probe, std::uint16_t sequence, std::vector<std::uint8_t>& buffer) {
    Outcome out;
    Received in;
    receive(probe.fd, buffer, 0, in);
    if (in.size < 0)
        return out;
    auto size = static_cast<std::size_t>(in.size);
    const std::uint8_t* icmp = buffer.data();
    if (size >= kIcmpHeaderSize && icmp[0] != kEchoReply) {
        // An error quotes the IPv6 header and the start of our request.
        if (probe.kind != SocketKind::Raw ||
            size < kIcmpHeaderSize + kIpv6HeaderSize + kIcmpHeaderSize ||
            icmp[kIcmpHeaderSize + 6] != kNextHeaderIcmpv6 ||
            !echoMatches(icmp + kIcmpHeaderSize + kIpv6HeaderSize,
                         size - kIcmpHeaderSize - kIpv6HeaderSize, kEchoRequest, probe, sequence))
            return out;
        out.kind = Outcome::Failure;
        out.status = statusFromIcmp(icmp[0], icmp[1]);
        return out;
    }
    if (!echoMatches(icmp, size, kEchoReply, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&in.msg); c; c = CMSG_NXTHDR(&in.msg, c)) {
        if (c->cmsg_level != IPPROTO_IPV6)
            continue;
        int value = 0;
        std::memcpy(&value, CMSG_DATA(c), sizeof value);
        if (c->cmsg_type == IPV6_HOPLIMIT)
            out.ttl = static_cast<std::uint8_t>(value);
        else if (c->cmsg_type == IPV6_TCLASS)
            out.tos = static_cast<std::uint8_t>(value);
    }
    out.kind = Outcome::Reply;
    out.data = icmp + kIcmpHeaderSize;
    out.dataSize = size - kIcmpHeaderSize;
    return out;
}

Outcome readErrorQueue(const Probe& probe, std::uint16_t sequence,
                       std::vector<std::uint8_t>& buffer) {
    Outcome out;
    Received in;
    receive(probe.fd, buffer, MSG_ERRQUEUE, in);
    if (in.size < 0)
        return out;
    auto size = static_cast<std::size_t>(in.size);
    if (size >= kIcmpHeaderSize && !echoMatches(buffer.data(), size, kEchoRequest, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&in.msg); c; c = CMSG_NXTHDR(&in.msg, c)) {
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
    return openProbe(AF_INET6, openSocket);
}

bool Icmp6CloseHandle(HANDLE handle) {
    return closeProbe(handle, AF_INET6);
}

SocketKind socketKindOf6(HANDLE handle) {
    return kindOf(handle, AF_INET6);
}

std::uint32_t Icmp6SendEcho(HANDLE handle, const std::array<std::uint8_t, 16>& destination,
                            std::uint32_t scope, const void* requestData, std::uint16_t requestSize,
                            void* replyBuffer, std::uint32_t replySize, std::uint32_t timeoutMs) {
    if (replyBuffer == nullptr || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0;
    const std::optional<Probe> probe = findProbe(handle, AF_INET6);
    if (!probe)
        return writeFailure(IP_GENERAL_FAILURE, 0, replyBuffer);
    if (requestSize > 0 && requestData == nullptr)
        return writeFailure(IP_GENERAL_FAILURE, 0, replyBuffer);
    if (replySize < sizeof(ICMP_ECHO_REPLY) + requestSize + kIcmpHeaderSize)
        return writeFailure(IP_BUF_TOO_SMALL, 0, replyBuffer);
    // "::" would be answered by this host, like 0.0.0.0.
    if (std::all_of(destination.begin(), destination.end(), [](std::uint8_t b) { return b == 0; }))
        return writeFailure(IP_BAD_DESTINATION, 0, replyBuffer);

    // The kernel fills in the checksum of an ICMPv6 message.
    std::uint16_t sequence = nextSequence();
    std::vector<std::uint8_t> packet(kIcmpHeaderSize + requestSize);
    packet[0] = kEchoRequest;
    write16(&packet[4], probe->identifier);
    write16(&packet[6], sequence);
    if (requestSize > 0)
        std::memcpy(&packet[kIcmpHeaderSize], requestData, requestSize);

    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    std::memcpy(&to.sin6_addr, destination.data(), destination.size());
    to.sin6_scope_id = scope;
    Clock::time_point sent = Clock::now();
    Clock::time_point deadline = sent + std::chrono::milliseconds(timeoutMs);
    if (::sendto(probe->fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return writeFailure(statusFromErrno(errno), 0, replyBuffer);

    std::vector<std::uint8_t> buffer(65536);
    const Outcome outcome =
        awaitAnswer(*probe, sequence, deadline, {readMessage, readErrorQueue}, buffer, 0);
    if (outcome.kind != Outcome::Reply)
        return writeFailure(outcome.status, 0, replyBuffer);
    return writeReply(outcome, sent, replyBuffer, replySize);
}

} // namespace platform::icmp
