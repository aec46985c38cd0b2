// Binding requests over UDP at voice cadence, and one over TCP.

#include "checks/stun_client.h"

#include "net/socket.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace checks::stun {

namespace {

namespace ws = platform::winsock;
using platform::Clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Clock::time_point after(Clock::time_point start, double ms) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double, std::milli>(ms));
}

TransactionId newTransaction(std::mt19937_64& random) {
    TransactionId id;
    for (std::uint8_t& byte : id)
        byte = static_cast<std::uint8_t>(random());
    return id;
}

std::mt19937_64 seededRandom() {
    std::random_device device;
    return std::mt19937_64((std::uint64_t(device()) << 32) ^ device());
}

Failure failureOf(const platform::Error& e) {
    return {e.number(), e.source(), e.description()};
}

// The port the socket is bound to (the library's call, host order).
std::uint16_t boundPort(const CSocket& socket) {
    ws::InetAddress address;
    std::uint16_t port = 0;
    if (ws::getsockname(socket.SocketHandle(), &address, &port) != 0)
        return 0;
    return ws::fromNetworkOrder(port);
}

// The address this host sends from toward `ip`: a connected datagram
// socket of its own chooses it and sends nothing.
std::string localAddressToward(const std::string& ip, std::uint16_t port) {
    sockaddr_storage remote{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&remote);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&remote);
    if (::inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        size = sizeof *v4;
    } else if (::inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        size = sizeof *v6;
    } else {
        return {};
    }
    const int fd = ::socket(remote.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    std::string text;
    sockaddr_storage local{};
    socklen_t localSize = sizeof local;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0) {
        char buffer[INET6_ADDRSTRLEN] = {};
        const void* bytes =
            local.ss_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr)
                : &reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr;
        if (::inet_ntop(local.ss_family, bytes, buffer, sizeof buffer))
            text = buffer;
    }
    ::close(fd);
    return text;
}

std::span<const std::uint8_t> bytesOf(const Variant& data) {
    if (const ByteArray* bytes = std::get_if<ByteArray>(&data))
        return {bytes->data(), bytes->size()};
    return {};
}

} // namespace

UdpSeries runUdpSeries(const std::string& ip, std::uint16_t port, int count, int intervalMs) {
    UdpSeries series;
    auto& loop = platform::EventLoop::instance();
    std::mt19937_64 random = seededRandom();
    struct Sent {
        std::size_t index;
        Clock::time_point at;
        bool answered = false;
    };
    std::map<TransactionId, Sent> outstanding; // every request of this series
    std::size_t open = 0;                      // requests not yet answered
    std::shared_ptr<CSocket> socket;
    try {
        socket = CSocket::create();
        socket->setProtocol(CSocket::ProtocolUdp);
        socket->Bind(0, ip.find(':') != std::string::npos ? "::" : "0.0.0.0");
    } catch (const platform::Error& e) {
        series.failure = failureOf(e);
        return series;
    }
    series.local = {localAddressToward(ip, port), boundPort(*socket)};
    socket->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        socket->GetData(data, vartype::ByteArray);
        const Clock::time_point now = Clock::now();
        if (socket->RemoteHostIP() != ip || socket->RemotePort() != port) {
            ++series.malformed; // not from the server
            return;
        }
        const std::span<const std::uint8_t> bytes = bytesOf(data);
        if (bytes.size() < HeaderSize || bytes.size() > MaxMessageSize) {
            ++series.malformed;
            return;
        }
        TransactionId id;
        std::memcpy(id.data(), bytes.data() + 8, id.size());
        auto request = outstanding.find(id);
        std::optional<BindingResponse> response;
        if (request != outstanding.end())
            response = readBindingResponse(bytes, id);
        if (!response) {
            ++series.malformed;
            return;
        }
        Sent& sent = request->second;
        if (sent.answered)
            return; // a duplicate
        sent.answered = true;
        --open;
        const double ms = std::chrono::duration<double, std::milli>(now - sent.at).count();
        if (ms > ReplyWindowMs)
            ++series.late;
        else
            series.roundTrips[sent.index] = ms;
        if (!series.mapped)
            series.mapped = response->mapped;
    });

    const Clock::time_point start = Clock::now();
    Clock::time_point lastSent = start;
    for (int i = 0; i < count; ++i) {
        const Clock::time_point due = after(start, double(i) * intervalMs);
        loop.runUntil([] { return false; }, due);
        const TransactionId id = newTransaction(random);
        const std::vector<std::uint8_t> request = bindingRequest(id);
        series.roundTrips.emplace_back();
        try {
            // An answer from elsewhere changes the remote address: set it
            // again for every request.
            socket->setRemoteHost(ip);
            socket->setRemotePort(port);
            outstanding[id] = Sent{series.roundTrips.size() - 1, Clock::now()};
            ++open;
            socket->SendData(Variant(ByteArray(request.begin(), request.end())));
            lastSent = Clock::now();
        } catch (const platform::Error& e) {
            series.failure = failureOf(e);
            break;
        }
    }
    // Late answers still count while the last request's window is open.
    loop.runUntil([&] { return open == 0; }, after(lastSent, ReplyWindowMs * 1.5));
    socket->OnDataArrival.clear();
    socket->Abort();
    return series;
}

TcpBinding runTcpBinding(const std::string& ip, std::uint16_t port) {
    TcpBinding result;
    auto& loop = platform::EventLoop::instance();
    std::mt19937_64 random = seededRandom();
    const TransactionId id = newTransaction(random);
    std::shared_ptr<CSocket> socket;
    ByteArray received;
    bool done = false;
    Clock::time_point sentAt;
    try {
        socket = CSocket::create();
        socket->OnConnect.subscribe([&] {
            const std::vector<std::uint8_t> request = bindingRequest(id);
            sentAt = Clock::now();
            try {
                socket->SendData(Variant(ByteArray(request.begin(), request.end())));
            } catch (const platform::Error& e) {
                result.failure = failureOf(e);
                done = true;
            }
        });
        socket->OnDataArrival.subscribe([&](std::int32_t) {
            Variant data;
            socket->GetData(data, vartype::ByteArray);
            const std::span<const std::uint8_t> bytes = bytesOf(data);
            received.insert(received.end(), bytes.begin(), bytes.end());
            const std::size_t length = messageLength(received);
            if (length == 0 || received.size() < length)
                return;
            std::string why;
            std::optional<BindingResponse> response =
                length <= MaxMessageSize
                    ? readBindingResponse(std::span(received).first(length), id, &why)
                    : std::nullopt;
            if (response) {
                result.answered = true;
                result.mapped = response->mapped;
                result.roundTripMs = millisecondsSince(sentAt);
            } else {
                result.failure = Failure{0, "stun.tcp",
                                         "the answer was no valid STUN response" +
                                             (why.empty() ? "" : ": " + why)};
            }
            done = true;
        });
        socket->OnClose.subscribe([&] {
            if (!done)
                result.failure = Failure{0, "stun.tcp", "the server closed the connection"};
            done = true;
        });
        socket->OnError.subscribe([&](std::int16_t number, std::string& description, std::int32_t,
                                      std::string source, std::string, std::int32_t, bool&) {
            result.failure = Failure{number, source.empty() ? "CSocket" : source, description};
            done = true;
        });
        socket->Connect(ip, port);
    } catch (const platform::Error& e) {
        result.failure = failureOf(e);
        done = true;
    }
    const Clock::time_point deadline = after(Clock::now(), TcpTimeoutMs);
    if (!loop.runUntil([&] { return done; }, deadline) && !result.failure)
        result.failure = Failure{ws::WSAETIMEDOUT, "stun.tcp", "no answer within 3 s"};
    if (socket) {
        socket->OnConnect.clear();
        socket->OnDataArrival.clear();
        socket->OnClose.clear();
        socket->OnError.clear();
        socket->Abort();
    }
    return result;
}

} // namespace checks::stun
