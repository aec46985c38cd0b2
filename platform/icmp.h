#pragma once

// ICMP echo ("ping") as the echo probe expects of the platform: open a
// handle, send one echo request and wait for its answer, close the handle;
// over IPv4 and, with the Icmp6 calls, over IPv6.
//
// On Linux a handle is an ICMP socket. An ICMP datagram socket needs no
// privilege when net.ipv4.ping_group_range admits one of the caller's
// groups (the usual desktop setting); otherwise a raw ICMP socket is used,
// which needs root or CAP_NET_RAW. Answers are matched to the request by
// identifier and sequence number; everything else on the socket is ignored.

#include <array>
#include <cstdint>

namespace platform::icmp {

using HANDLE = std::intptr_t;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// Status numbers written into the reply header.
inline constexpr std::uint32_t IP_SUCCESS = 0;
inline constexpr std::uint32_t IP_BUF_TOO_SMALL = 11001;
inline constexpr std::uint32_t IP_DEST_NET_UNREACHABLE = 11002;
inline constexpr std::uint32_t IP_DEST_HOST_UNREACHABLE = 11003;
inline constexpr std::uint32_t IP_DEST_PROT_UNREACHABLE = 11004;
inline constexpr std::uint32_t IP_DEST_PORT_UNREACHABLE = 11005;
inline constexpr std::uint32_t IP_REQ_TIMED_OUT = 11010;
inline constexpr std::uint32_t IP_TTL_EXPIRED_TRANSIT = 11013;
inline constexpr std::uint32_t IP_BAD_DESTINATION = 11018;
inline constexpr std::uint32_t IP_GENERAL_FAILURE = 11050;

// The header that starts every reply buffer: 28 bytes, little-endian,
// no padding. The echoed bytes follow it in the buffer; DataPointer holds
// their offset from the start of the buffer (pointers do not fit 32 bits
// here), OptionsData is always 0.
#pragma pack(push, 1)
struct ICMP_ECHO_REPLY {
    std::uint32_t Address;       // who answered, network byte order
    std::uint32_t Status;        // IP_SUCCESS or one of the numbers above
    std::uint32_t RoundTripTime; // whole milliseconds, below 1 ms is 0
    std::uint16_t DataSize;      // echoed bytes stored after the header
    std::uint16_t Reserved;
    std::uint32_t DataPointer;
    std::uint8_t Ttl;
    std::uint8_t Tos;
    std::uint8_t Flags;
    std::uint8_t OptionsSize;
    std::uint32_t OptionsData;
};
#pragma pack(pop)
static_assert(sizeof(ICMP_ECHO_REPLY) == 28);

// Which kind of socket `IcmpCreateFile` opens.
enum class SocketKind {
    Automatic, // datagram where the system admits it, else raw
    Datagram,  // datagram only
    Raw,       // raw only
};
// Process-wide choice (Automatic by default); tests force each path.
void setSocketKind(SocketKind kind);
SocketKind socketKind();
// The kind an open handle uses; Automatic for a handle that is not open.
SocketKind socketKindOf(HANDLE handle);

// Opens an echo handle, or returns INVALID_HANDLE_VALUE when no ICMP
// socket can be opened (errno tells why).
HANDLE IcmpCreateFile();

// Sends one echo request carrying `requestData` to `destination` (IPv4,
// network byte order) and waits up to `timeoutMs` for its answer.
// `requestOptions` must be null (IP options are not offered).
//
// Returns 1 when an echo reply arrived, 0 otherwise. Whenever the buffer
// can hold the header, the header is written: on success Status 0, the
// round trip, the replying address, TTL, TOS and flags, and the echoed
// bytes; on failure Status says why (timed out, unreachable network or
// host, bad destination such as 0.0.0.0, a reply buffer too small for the
// header, the request and 8 bytes, or general failure, which is also the
// answer for a handle that is not open).
std::uint32_t IcmpSendEcho(HANDLE handle, std::uint32_t destination, const void* requestData,
                           std::uint16_t requestSize, const void* requestOptions, void* replyBuffer,
                           std::uint32_t replySize, std::uint32_t timeoutMs);

// Closes the handle; false if it was not open.
bool IcmpCloseHandle(HANDLE handle);

// --- ICMPv6 ---------------------------------------------------------------
// The same for IPv6 (icmp6.cpp): a handle over an ICMPv6 socket of the kind
// `socketKind()` chooses, requests to a 16-byte address in network order
// with its scope (interface index, 0 = none), and the same reply header
// and statuses. The header's Address stays 0 (it has no room for an IPv6
// address); Ttl holds the hop limit and Tos the traffic class.
HANDLE Icmp6CreateFile();
std::uint32_t Icmp6SendEcho(HANDLE handle, const std::array<std::uint8_t, 16>& destination,
                            std::uint32_t scope, const void* requestData, std::uint16_t requestSize,
                            void* replyBuffer, std::uint32_t replySize, std::uint32_t timeoutMs);
bool Icmp6CloseHandle(HANDLE handle);
// The kind an open ICMPv6 handle uses; Automatic for one that is not open.
SocketKind socketKindOf6(HANDLE handle);

} // namespace platform::icmp
