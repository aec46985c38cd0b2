#pragma once

// What the IPv4 and IPv6 echo handles share (icmp.cpp, icmp6.cpp): the
// table of open handles, the choice of socket kind, matching an answer to
// its request, the wait for that answer, and the reply header.

#include "platform/icmp.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sys/socket.h>
#include <vector>

namespace platform::icmp::detail {

using Clock = std::chrono::steady_clock;

// The echo header: type, code, checksum, identifier, sequence.
inline constexpr std::size_t kIcmpHeaderSize = 8;

struct Probe {
    int fd = -1;
    int family = 0; // AF_INET or AF_INET6
    SocketKind kind = SocketKind::Automatic;
    std::uint16_t identifier = 0; // raw sockets only; the kernel owns it for datagram sockets
};

// What one packet from the socket meant for the request under way.
struct Outcome {
    enum { Unrelated, Reply, Failure } kind = Unrelated;
    std::uint32_t status = IP_SUCCESS;
    std::uint32_t address = 0; // IPv4 only
    std::uint8_t ttl = 0;      // or the hop limit
    std::uint8_t tos = 0;      // or the traffic class
    std::uint8_t flags = 0;
    const std::uint8_t* data = nullptr;
    std::size_t dataSize = 0;
};

inline std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline void write16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

// One message read with its sender's address and its ancillary data.
// `msg` points into the object itself: fill it in place, never copy it.
struct Received {
    sockaddr_storage from{};
    iovec iov{};
    alignas(cmsghdr) char control[512];
    msghdr msg{};
    ssize_t size = -1; // what recvmsg returned
};

// Reads one message into `buffer` (`flags` as recvmsg takes them).
void receive(int fd, std::vector<std::uint8_t>& buffer, int flags, Received& into);

// The status for a failed send or a queued socket error.
std::uint32_t statusFromErrno(int error);

// Whether `icmp` is an echo message of `type` with this request's sequence
// (and, on a raw socket, this handle's identifier).
bool echoMatches(const std::uint8_t* icmp, std::size_t size, std::uint8_t type, const Probe& probe,
                 std::uint16_t sequence);

// Opens a socket with `open` of the kind `socketKind()` chooses (datagram
// first, raw where that fails) and registers it; INVALID_HANDLE_VALUE when
// neither opens.
HANDLE openProbe(int family, int (*open)(SocketKind));
bool closeProbe(HANDLE handle, int family);
std::optional<Probe> findProbe(HANDLE handle, int family);
SocketKind kindOf(HANDLE handle, int family);
std::uint16_t nextSequence();

// How a family reads its socket: the message that arrived, and (datagram
// sockets) the error queue.
struct Readers {
    Outcome (*message)(const Probe&, std::uint16_t sequence, std::vector<std::uint8_t>& buffer);
    Outcome (*errorQueue)(const Probe&, std::uint16_t sequence, std::vector<std::uint8_t>& buffer);
};

// Waits until `deadline` for the answer to `sequence`: a Reply, or a
// Failure whose status says why (IP_REQ_TIMED_OUT when none came; then its
// address is `destination`, an IPv4 request's target, else 0). `buffer`
// holds the packet the outcome's data points into.
Outcome awaitAnswer(const Probe& probe, std::uint16_t sequence, Clock::time_point deadline,
                    const Readers& readers, std::vector<std::uint8_t>& buffer,
                    std::uint32_t destination);

// Writes the header of a reply that arrived `sent` ago and as much of its
// echoed bytes as fit; returns 1.
std::uint32_t writeReply(const Outcome& reply, Clock::time_point sent, void* replyBuffer,
                         std::uint32_t replySize);

// Writes a header that says why no reply came; returns 0.
std::uint32_t writeFailure(std::uint32_t status, std::uint32_t address, void* replyBuffer);

} // namespace platform::icmp::detail
