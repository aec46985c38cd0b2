#include "ping/ping_mod.h"

#include "ping/echo_target.h"

#include "platform/icmp.h"
#include "platform/winsock.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>
#include <vector>

namespace PingMod {

namespace {

MessageBoxSink& sink() {
    static MessageBoxSink current;
    return current;
}

// A request made on a thread of its own hands its messages to this one.
thread_local MessageBoxSink t_threadSink;

void showMessage(const std::string& text, MessageBoxIcon icon) {
    if (t_threadSink)
        t_threadSink(text, icon);
    else if (sink())
        sink()(text, icon);
    else
        std::cerr << text << '\n';
}

// One part of a dotted address: an optional minus sign, then decimal
// digits. Its low 8 bits (two's complement for negative numbers) go to
// `byte`.
bool partToByte(const std::string& part, std::uint8_t& byte) {
    std::size_t i = 0;
    bool negative = false;
    if (i < part.size() && part[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == part.size())
        return false;
    unsigned value = 0;
    for (; i < part.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(part[i])))
            return false;
        value = (value * 10 + static_cast<unsigned>(part[i] - '0')) & 0xFF;
    }
    byte = static_cast<std::uint8_t>(negative ? (0u - value) & 0xFF : value);
    return true;
}

} // namespace

void setMessageBoxSink(MessageBoxSink newSink) {
    sink() = std::move(newSink);
}

void setThreadMessageBoxSink(MessageBoxSink newSink) {
    t_threadSink = std::move(newSink);
}

void ShowMessageBox(const std::string& text, MessageBoxIcon icon) {
    showMessage(text, icon);
}

std::uint8_t LowByteOf(std::int16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

std::uint8_t HighByteOf(std::int16_t value) {
    return static_cast<std::uint8_t>((value / 256) & 0xFF);
}

std::int32_t DottedAddressToLong(const std::string& address) {
    std::size_t first = address.find_first_not_of(" \t\r\n");
    std::size_t last = address.find_last_not_of(" \t\r\n");
    std::string text = first == std::string::npos ? "" : address.substr(first, last - first + 1);

    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t dot; (dot = text.find('.', start)) != std::string::npos; start = dot + 1)
        parts.push_back(text.substr(start, dot - start));
    parts.push_back(text.substr(start));
    if (parts.size() != 4)
        return 0;

    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint8_t byte = 0;
        if (!partToByte(parts[i], byte))
            return 0;
        value |= static_cast<std::uint32_t>(byte) << (8 * i);
    }
    return static_cast<std::int32_t>(value);
}

bool StartEchoSockets() {
    platform::winsock::WSAData data;
    int rc = platform::winsock::WSAStartup(SocketVersionRequested, data);
    if (rc != 0) {
        showMessage(std::string("Windows Sockets for 32 bit Windows ") +
                        "environments is not successfully responding.",
                    MessageBoxIcon::None);
        return false;
    }
    auto version = static_cast<std::int16_t>(data.wVersion);
    int lo = LowByteOf(version);
    int hi = HighByteOf(version);
    if (lo < 1 || (lo == 1 && hi < 1)) {
        showMessage("Windows Sockets Version " + std::to_string(lo) + "." + std::to_string(hi) +
                        " is not supported by Windows " +
                        "Sockets for 32 bit Windows environments.",
                    MessageBoxIcon::Exclamation);
        return false;
    }
    if (data.iMaxSockets < MinimumSockets) {
        showMessage("This application requires a minimum of " + std::to_string(MinimumSockets) +
                        " supported sockets.",
                    MessageBoxIcon::Exclamation);
        return false;
    }
    return true;
}

bool StopEchoSockets() {
    int rc = platform::winsock::WSACleanup();
    if (rc != 0) {
        showMessage("Windows Sockets error " + std::to_string(rc) + " occurred in Cleanup.",
                    MessageBoxIcon::Exclamation);
        return false;
    }
    return true;
}

namespace {

// The request itself between the socket library's start-up and clean-up:
// an ICMP echo to an IPv4 destination (network byte order), or an ICMPv6
// one.
std::int32_t sendTo(const platform::winsock::InetAddress& target, EchoReply& reply) {
    namespace icmp = platform::icmp;
    const bool v6 = target.family == platform::winsock::AF_INET6_;
    StartEchoSockets(); // a problem has been shown; the request goes out all the same
    icmp::HANDLE handle = v6 ? icmp::Icmp6CreateFile() : icmp::IcmpCreateFile();
    // Refused, not merely short of descriptors: the system permits this
    // user no echo request, which no later attempt will change.
    const bool refused =
        handle == icmp::INVALID_HANDLE_VALUE && (errno == EACCES || errno == EPERM);
    std::uint32_t count = v6 ? icmp::Icmp6SendEcho(handle, target.bytes, target.scope, RequestData,
                                                   RequestSize, &reply, ReplySize, ReplyTimeout)
                             : icmp::IcmpSendEcho(handle, target.ipv4(), RequestData, RequestSize,
                                                  nullptr, &reply, ReplySize, ReplyTimeout);
    if (count == 0 && refused)
        reply.Status = EchoNotPermitted;
    std::int32_t result = count != 0 ? static_cast<std::int32_t>(reply.RoundTripTime)
                                     : -static_cast<std::int32_t>(reply.Status);
    if (v6)
        icmp::Icmp6CloseHandle(handle);
    else
        icmp::IcmpCloseHandle(handle);
    StopEchoSockets();
    return result;
}

} // namespace

std::int32_t SendEchoRequest(const std::string& address, EchoReply& reply) {
    // The address value holds the bytes in address order from bit 0 up;
    // laid out in memory that way they are the network byte order.
    auto value = static_cast<std::uint32_t>(DottedAddressToLong(address));
    std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    std::uint32_t destination = 0;
    std::memcpy(&destination, bytes, sizeof destination);
    return sendTo(platform::winsock::InetAddress::fromIPv4(destination), reply);
}

std::int32_t SendEchoRequestTo(const platform::winsock::InetAddress& address, EchoReply& reply) {
    return sendTo(address, reply);
}

std::int32_t SendEchoRequestToAnyAddress(const std::string& address, EchoReply& reply) {
    const EchoTarget target = ResolveEchoTarget(address);
    if (target.lookupError != 0) {
        // A name that names nothing is a destination no request can go to.
        reply.Status = platform::icmp::IP_BAD_DESTINATION;
        return -static_cast<std::int32_t>(reply.Status);
    }
    return sendTo(target.address, reply);
}

} // namespace PingMod
