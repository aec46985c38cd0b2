#include "platform/icmp_probe.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::icmp {

namespace {

std::mutex g_mutex;
SocketKind g_kind = SocketKind::Automatic;
HANDLE g_lastHandle = 0;
std::atomic<std::uint16_t> g_sequence{0};

std::map<HANDLE, detail::Probe>& probes() {
    static auto* map = new std::map<HANDLE, detail::Probe>;
    return *map;
}

std::uint16_t randomIdentifier() {
    static std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint16_t>(generator());
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

namespace detail {

void receive(int fd, std::vector<std::uint8_t>& buffer, int flags, Received& into) {
    into.iov = {buffer.data(), buffer.size()};
    into.msg = {};
    into.msg.msg_name = &into.from;
    into.msg.msg_namelen = sizeof into.from;
    into.msg.msg_iov = &into.iov;
    into.msg.msg_iovlen = 1;
    into.msg.msg_control = into.control;
    into.msg.msg_controllen = sizeof into.control;
    into.size = ::recvmsg(fd, &into.msg, flags);
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

bool echoMatches(const std::uint8_t* icmp, std::size_t size, std::uint8_t type, const Probe& probe,
                 std::uint16_t sequence) {
    if (size < kIcmpHeaderSize || icmp[0] != type || read16(icmp + 6) != sequence)
        return false;
    return probe.kind == SocketKind::Datagram || read16(icmp + 4) == probe.identifier;
}

HANDLE openProbe(int family, int (*open)(SocketKind)) {
    SocketKind wanted = socketKind();
    Probe probe;
    probe.family = family;
    if (wanted != SocketKind::Raw) {
        probe.fd = open(SocketKind::Datagram);
        probe.kind = SocketKind::Datagram;
    }
    if (probe.fd < 0 && wanted != SocketKind::Datagram) {
        probe.fd = open(SocketKind::Raw);
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

bool closeProbe(HANDLE handle, int family) {
    std::lock_guard lock(g_mutex);
    auto it = probes().find(handle);
    if (it == probes().end() || it->second.family != family)
        return false;
    ::close(it->second.fd);
    probes().erase(it);
    return true;
}

std::optional<Probe> findProbe(HANDLE handle, int family) {
    std::lock_guard lock(g_mutex);
    auto it = probes().find(handle);
    if (it == probes().end() || it->second.family != family)
        return std::nullopt;
    return it->second;
}

SocketKind kindOf(HANDLE handle, int family) {
    const std::optional<Probe> probe = findProbe(handle, family);
    return probe ? probe->kind : SocketKind::Automatic;
}

std::uint16_t nextSequence() {
    return ++g_sequence;
}

Outcome awaitAnswer(const Probe& probe, std::uint16_t sequence, Clock::time_point deadline,
                    const Readers& readers, std::vector<std::uint8_t>& buffer,
                    std::uint32_t destination) {
    Outcome failure;
    failure.kind = Outcome::Failure;
    failure.address = destination;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline) {
            failure.status = IP_REQ_TIMED_OUT;
            return failure;
        }
        // Round the wait up so that the loop never spins on a sub-millisecond
        // rest, and wait at most a minute at a time (poll takes an int).
        auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd pfd{probe.fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::min<decltype(rest)>(rest, 60000)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            failure.status = IP_GENERAL_FAILURE;
            return failure;
        }
        if (ready == 0)
            continue;
        Outcome outcome;
        if (pfd.revents & POLLERR) {
            if (probe.kind == SocketKind::Datagram) {
                outcome = readers.errorQueue(probe, sequence, buffer);
            } else {
                // A raw socket's pending error says nothing of this request.
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(probe.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
        if (outcome.kind == Outcome::Unrelated && (pfd.revents & POLLIN))
            outcome = readers.message(probe, sequence, buffer);
        if (outcome.kind != Outcome::Unrelated)
            return outcome;
    }
}

std::uint32_t writeReply(const Outcome& reply, Clock::time_point sent, void* replyBuffer,
                         std::uint32_t replySize) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    std::size_t room = replySize - sizeof(ICMP_ECHO_REPLY);
    std::size_t echoed = std::min(reply.dataSize, room);
    ICMP_ECHO_REPLY header{};
    header.Address = reply.address;
    header.Status = IP_SUCCESS;
    header.RoundTripTime = static_cast<std::uint32_t>(elapsed.count());
    header.DataSize = static_cast<std::uint16_t>(echoed);
    header.DataPointer = sizeof(ICMP_ECHO_REPLY);
    header.Ttl = reply.ttl;
    header.Tos = reply.tos;
    header.Flags = reply.flags;
    std::memcpy(replyBuffer, &header, sizeof header);
    if (echoed > 0)
        std::memcpy(static_cast<std::uint8_t*>(replyBuffer) + sizeof header, reply.data, echoed);
    return 1;
}

std::uint32_t writeFailure(std::uint32_t status, std::uint32_t address, void* replyBuffer) {
    ICMP_ECHO_REPLY header{};
    header.Status = status;
    header.Address = address;
    std::memcpy(replyBuffer, &header, sizeof header);
    return 0;
}

} // namespace detail

} // namespace platform::icmp
