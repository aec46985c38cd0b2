#pragma once

// The ICMP echo probe: one blocking echo request to an IPv4 address
// written as dotted decimal text, or to any address or host name the
// connection test's address text names (echo_target.h), with its own
// start-up and clean-up of the socket library around every request. Problems with the socket
// library are reported in message boxes through a replaceable sink.

#include "platform/winsock.h"

#include <cstdint>
#include <functional>
#include <string>

namespace PingMod {

// The reply record the caller owns and passes to every request: the
// platform's 28-byte echo-reply header, then room for the echoed bytes.
// 278 bytes, little-endian, no padding.
#pragma pack(push, 1)
struct EchoReply {
    std::uint32_t Address = 0;
    std::uint32_t Status = 0;
    std::uint32_t RoundTripTime = 0;
    std::uint16_t DataSize = 0;
    std::uint16_t Reserved = 0;
    std::uint32_t DataPointer = 0;
    std::uint8_t Ttl = 0;
    std::uint8_t Tos = 0;
    std::uint8_t Flags = 0;
    std::uint8_t OptionsSize = 0;
    std::uint32_t OptionsData = 0;
    char Data[250] = {};
};
#pragma pack(pop)
static_assert(sizeof(EchoReply) == 278);

inline constexpr const char* RequestData = "Echo This";
inline constexpr std::uint16_t RequestSize = 9;
inline constexpr std::uint32_t ReplySize = sizeof(EchoReply);
inline constexpr std::uint32_t ReplyTimeout = 10000; // ms
inline constexpr std::uint16_t SocketVersionRequested = 0x0101;
inline constexpr int MinimumSockets = 1;
// The Status a request leaves in the reply when the system let it open no
// echo socket at all (the platform's "access denied"): neither an ICMP
// datagram socket for the user's groups nor a raw one. Distinct from the
// platform's reply statuses, which start at 11000.
inline constexpr std::uint32_t EchoNotPermitted = 5;

// The round trip in ms (0 or more) when a reply came, else minus the
// reply's Status (minus EchoNotPermitted when no echo socket could be
// opened).
std::int32_t SendEchoRequest(const std::string& address, EchoReply& reply);
// The same for whatever the text names (ResolveEchoTarget): an IPv4 text
// as SendEchoRequest reads it, an IPv6 address ("::1", "[::1]") or a host
// name of either family. An IPv6 destination gets an ICMPv6 echo request,
// answered in the same record (its Address stays 0). A name that does not
// resolve fails at once with IP_BAD_DESTINATION (11018).
std::int32_t SendEchoRequestToAnyAddress(const std::string& address, EchoReply& reply);
// The same to an address already resolved.
std::int32_t SendEchoRequestTo(const platform::winsock::InetAddress& address, EchoReply& reply);

// The address in network byte order (first part in bits 0-7), or 0 for
// text that is not four dot-separated parts, each an optional minus sign
// and decimal digits (taken modulo 256). Blanks around the whole text are
// ignored.
std::int32_t DottedAddressToLong(const std::string& address);

// Start and shut down the socket library; false after a message box.
bool StartEchoSockets();
bool StopEchoSockets();

std::uint8_t LowByteOf(std::int16_t value);
std::uint8_t HighByteOf(std::int16_t value);

// Where the probe's message boxes go: an OK box with no icon or with the
// exclamation icon, titled with the program's title. The window shows a
// modal box; the default writes the text to standard error.
enum class MessageBoxIcon { None, Exclamation };
using MessageBoxSink = std::function<void(const std::string& text, MessageBoxIcon icon)>;
// An empty sink restores the default.
void setMessageBoxSink(MessageBoxSink sink);
// A sink for the calling thread only, in place of the process's (empty:
// the process's again): a request made on a thread of its own hands its
// messages back to the thread that shows them.
void setThreadMessageBoxSink(MessageBoxSink sink);
// Shows `text` through the calling thread's sink.
void ShowMessageBox(const std::string& text, MessageBoxIcon icon);

} // namespace PingMod
