// STUN Binding requests written and responses read.

#include "checks/stun_message.h"

#include <arpa/inet.h>
#include <cstring>

namespace checks::stun {

namespace {

std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value >> 16));
    put16(out, static_cast<std::uint16_t>(value));
}

// A MAPPED-ADDRESS or XOR-MAPPED-ADDRESS value; `mask` (cookie and
// transaction ID) is all zero for the plain one.
std::optional<MappedAddress> readAddress(const std::uint8_t* value, std::size_t length,
                                         const std::uint8_t* mask, std::string& why) {
    if (length < 4) {
        why = "address attribute too short";
        return std::nullopt;
    }
    const std::uint8_t family = value[1];
    const std::size_t size = family == 0x01 ? 4 : family == 0x02 ? 16 : 0;
    if (size == 0 || length != 4 + size) {
        why = "address attribute of unknown family or wrong length";
        return std::nullopt;
    }
    MappedAddress address;
    address.port = static_cast<std::uint16_t>(read16(value + 2) ^ read16(mask));
    std::uint8_t bytes[16];
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = value[4 + i] ^ mask[i];
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(size == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
    address.ip = text;
    return address;
}

} // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::vector<std::uint8_t> bindingRequest(const TransactionId& id) {
    std::vector<std::uint8_t> out;
    put16(out, BindingRequest);
    put16(out, 8); // the FINGERPRINT attribute
    put32(out, MagicCookie);
    out.insert(out.end(), id.begin(), id.end());
    const std::uint32_t check = crc32(out) ^ FingerprintXor;
    put16(out, FingerprintType);
    put16(out, 4);
    put32(out, check);
    return out;
}

std::size_t messageLength(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < HeaderSize)
        return 0;
    return HeaderSize + read16(bytes.data() + 2);
}

std::optional<BindingResponse> readBindingResponse(std::span<const std::uint8_t> bytes,
                                                   const TransactionId& expected,
                                                   std::string* why) {
    std::string reason;
    auto refuse = [&](const char* text) {
        if (why)
            *why = text;
        return std::nullopt;
    };
    if (bytes.size() < HeaderSize)
        return refuse("shorter than a header");
    const std::uint8_t* p = bytes.data();
    if (read16(p) != BindingSuccess)
        return refuse("not a Binding success response");
    const std::size_t length = read16(p + 2);
    if (length % 4 != 0 || HeaderSize + length != bytes.size())
        return refuse("length does not match the message");
    if (read32(p + 4) != MagicCookie)
        return refuse("no magic cookie");
    if (std::memcmp(p + 8, expected.data(), expected.size()) != 0)
        return refuse("another transaction");

    std::uint8_t xorMask[16];
    std::memcpy(xorMask, p + 4, 16); // cookie, then the transaction ID
    const std::uint8_t zeros[16] = {};
    std::optional<MappedAddress> plain, xored;
    BindingResponse response;
    std::size_t at = HeaderSize;
    while (at < bytes.size()) {
        if (bytes.size() - at < 4)
            return refuse("truncated attribute");
        const std::uint16_t type = read16(p + at);
        const std::size_t size = read16(p + at + 2);
        const std::size_t padded = (size + 3) / 4 * 4;
        if (bytes.size() - at - 4 < padded)
            return refuse("truncated attribute");
        const std::uint8_t* value = p + at + 4;
        if (type == FingerprintType) {
            if (size != 4 || at + 8 != bytes.size())
                return refuse("misplaced fingerprint");
            if ((crc32(bytes.first(at)) ^ FingerprintXor) != read32(value))
                return refuse("bad fingerprint");
            response.fingerprint = true;
        } else if (type == XorMappedAddressType && !xored) {
            if (!(xored = readAddress(value, size, xorMask, reason)))
                return refuse(reason.c_str());
        } else if (type == MappedAddressType && !plain) {
            if (!(plain = readAddress(value, size, zeros, reason)))
                return refuse(reason.c_str());
        }
        at += 4 + padded;
    }
    if (!xored && !plain)
        return refuse("no mapped address");
    response.xorMapped = xored.has_value();
    response.mapped = xored ? *xored : *plain;
    return response;
}

} // namespace checks::stun
