#pragma once

// What the files of the socket object share: error records in the
// library's numbers, literal addresses, ports and counts as the library and
// the events take them. Not for users of CSocket.

#include "net/socket_errors.h"
#include "net/socket_support.h"
#include "platform/error.h"
#include "platform/winsock.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

namespace socket_detail {

namespace ws = platform::winsock;
using platform::Error;

using net::errors::WrongProtocolOrState;
using net::errors::WrongProtocolOrStateText;

inline Error libraryError(std::int32_t code, const std::string& source) {
    return Error(code, source, GetErrorDescription(code));
}

inline Error lastLibraryError(const std::string& source) {
    return libraryError(ws::WSAGetLastError(), source);
}

inline bool isDotted(const std::string& text, std::uint32_t& address) {
    return ws::parseDottedAddress(text, address);
}
inline bool isDotted(const std::string& text) {
    std::uint32_t ignored;
    return ws::parseDottedAddress(text, ignored);
}

// A literal address of either family ("127.0.0.1", "::1", "[::1]").
inline bool isLiteral(const std::string& text, ws::InetAddress& address) {
    return ws::parseAddress(text, address);
}
inline bool isLiteral(const std::string& text) {
    ws::InetAddress ignored;
    return ws::parseAddress(text, ignored);
}

// A port as the library takes it: checked to 0..65535, network byte order.
inline std::uint16_t networkPort(std::int64_t port) {
    std::int16_t value = MSocketSupport::UnsignedToInteger(port);
    return ws::toNetworkOrder(static_cast<std::uint16_t>(value));
}

inline std::int32_t hostPort(std::uint16_t networkOrder) {
    return MSocketSupport::IntegerToUnsigned(
        static_cast<std::int16_t>(ws::fromNetworkOrder(networkOrder)));
}

inline std::int32_t saturated(std::int64_t count) {
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
}

// The name of an address as far as it is known now, else the address
// itself: names are never waited for on the loop's thread.
// IPv6 addresses are given as they are.
inline std::string nameOrAddress(const ws::InetAddress& address, const std::string& text) {
    std::string name;
    return address.family == ws::AF_INET_ && ws::knownHostName(address.ipv4(), name) &&
                   !name.empty()
               ? name
               : text;
}

} // namespace socket_detail
