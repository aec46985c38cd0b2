#include "platform/icmp.h"
#include "platform/icmp_probe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <vector>

namespace platform::icmp {

using namespace detail;

namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
// The raw socket's type filter (a Linux option of raw ICMP sockets): a set
// bit drops that message type before it reaches the socket.
constexpr int kIcmpFilterOption = 1;

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
    Received in;
    receive(probe.fd, buffer, 0, in);
    if (in.size < 0)
        return out;
    auto size = static_cast<std::size_t>(in.size);
    if (!echoMatches(buffer.data(), size, kEchoReply, probe, sequence))
        return out;
    for (cmsghdr* c = CMSG_FIRSTHDR(&in.msg); c; c = CMSG_NXTHDR(&in.msg, c)) {
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
    out.address = reinterpret_cast<const sockaddr_in*>(&in.from)->sin_addr.s_addr;
    out.data = buffer.data() + kIcmpHeaderSize;
    out.dataSize = size - kIcmpHeaderSize;
    return out;
}

// ICMP errors for a datagram socket's requests wait on its error queue,
// each with the start of the request it answers.
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
            out.address = reinterpret_cast<const sockaddr_in*>(&in.from)->sin_addr.s_addr;
        }
        out.kind = Outcome::Failure;
        return out;
    }
    return out;
}

// A datagram socket's own replies, or everything a raw socket sees.
Outcome readMessage(const Probe& probe, std::uint16_t sequence, std::vector<std::uint8_t>& buffer) {
    return probe.kind == SocketKind::Datagram ? readDatagram(probe, sequence, buffer)
                                              : readRaw(probe, sequence, buffer);
}

} // namespace

SocketKind socketKindOf(HANDLE handle) {
    return kindOf(handle, AF_INET);
}

HANDLE IcmpCreateFile() {
    return openProbe(AF_INET, openSocket);
}

bool IcmpCloseHandle(HANDLE handle) {
    return closeProbe(handle, AF_INET);
}

std::uint32_t IcmpSendEcho(HANDLE handle, std::uint32_t destination, const void* requestData,
                           std::uint16_t requestSize, const void* requestOptions, void* replyBuffer,
                           std::uint32_t replySize, std::uint32_t timeoutMs) {
    if (replyBuffer == nullptr || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0; // nowhere to say why
    const std::optional<Probe> probe = findProbe(handle, AF_INET);
    if (!probe)
        return writeFailure(IP_GENERAL_FAILURE, 0, replyBuffer);
    if (requestOptions != nullptr || (requestSize > 0 && requestData == nullptr))
        return writeFailure(IP_GENERAL_FAILURE, 0, replyBuffer);
    if (replySize < sizeof(ICMP_ECHO_REPLY) + requestSize + kIcmpHeaderSize)
        return writeFailure(IP_BUF_TOO_SMALL, 0, replyBuffer);
    // 0.0.0.0 means "this host" to Linux, which would answer it locally:
    // never a destination anyone meant to test.
    if (destination == 0)
        return writeFailure(IP_BAD_DESTINATION, 0, replyBuffer);

    std::uint16_t sequence = nextSequence();
    std::vector<std::uint8_t> packet(kIcmpHeaderSize + requestSize);
    packet[0] = kEchoRequest;
    write16(&packet[4], probe->identifier);
    write16(&packet[6], sequence);
    if (requestSize > 0)
        std::memcpy(&packet[kIcmpHeaderSize], requestData, requestSize);
    write16(&packet[2], internetChecksum(packet.data(), packet.size()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    Clock::time_point sent = Clock::now();
    Clock::time_point deadline = sent + std::chrono::milliseconds(timeoutMs);
    if (::sendto(probe->fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return writeFailure(statusFromErrno(errno), destination, replyBuffer);

    std::vector<std::uint8_t> buffer(65536);
    const Outcome outcome =
        awaitAnswer(*probe, sequence, deadline, {readMessage, readErrorQueue}, buffer, destination);
    if (outcome.kind != Outcome::Reply)
        return writeFailure(outcome.status, outcome.address, replyBuffer);
    return writeReply(outcome, sent, replyBuffer, replySize);
}

} // namespace platform::icmp
