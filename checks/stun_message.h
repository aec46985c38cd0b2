#pragma once

// STUN Binding messages (RFC 8489; RFC 5389 servers answer the same): the
// request the voice check sends and the reader of the answers. The reader
// trusts nothing: a message is taken only whole, with the expected
// transaction, the magic cookie, a length that matches, attributes that
// fit and a fingerprint that checks out where there is one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace checks::stun {

inline constexpr std::uint32_t MagicCookie = 0x2112A442;
inline constexpr std::size_t HeaderSize = 20;
inline constexpr std::uint16_t BindingRequest = 0x0001;
inline constexpr std::uint16_t BindingSuccess = 0x0101;
inline constexpr std::uint16_t MappedAddressType = 0x0001;
inline constexpr std::uint16_t XorMappedAddressType = 0x0020;
inline constexpr std::uint16_t FingerprintType = 0x8028;
inline constexpr std::uint32_t FingerprintXor = 0x5354554e;
// Larger answers are not read (a Binding response is under 100 bytes).
inline constexpr std::size_t MaxMessageSize = 1280;

using TransactionId = std::array<std::uint8_t, 12>;

// The address the server saw the request come from.
struct MappedAddress {
    std::string ip; // dotted IPv4 or IPv6 text
    std::uint16_t port = 0;
    bool operator==(const MappedAddress&) const = default;
};

struct BindingResponse {
    MappedAddress mapped;
    bool xorMapped = false;   // from XOR-MAPPED-ADDRESS, not MAPPED-ADDRESS
    bool fingerprint = false; // it carried a FINGERPRINT, which checked out
};

// The CRC-32 of ISO 3309 / ITU-T V.42 that FINGERPRINT uses.
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// A Binding request with `id` and a FINGERPRINT.
std::vector<std::uint8_t> bindingRequest(const TransactionId& id);

// The length of the STUN message at the start of `bytes` (header and
// attributes), read from its header; 0 while the header is incomplete.
// Messages on a TCP stream follow each other with no other framing.
std::size_t messageLength(std::span<const std::uint8_t> bytes);

// Reads `bytes` as a Binding success response to `expected`; empty, with
// the reason in `why`, for anything else.
std::optional<BindingResponse> readBindingResponse(std::span<const std::uint8_t> bytes,
                                                   const TransactionId& expected,
                                                   std::string* why = nullptr);

} // namespace checks::stun
