// Addresses in the socket-library shim: IPv4 and IPv6 addresses as the
// library's callers give them, their text forms, and the system's socket
// address records.

#include "platform/winsock/internal.h"

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netdb.h>

namespace platform::winsock {

InetAddress InetAddress::fromIPv4(std::uint32_t address) {
    InetAddress a;
    std::memcpy(a.bytes.data(), &address, sizeof address);
    return a;
}

std::uint32_t InetAddress::ipv4() const {
    if (family != AF_INET_)
        return 0;
    std::uint32_t address = 0;
    std::memcpy(&address, bytes.data(), sizeof address);
    return address;
}

namespace detail {

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = port;
    return sa;
}

socklen_t makeAddress(const InetAddress& address, std::uint16_t port, sockaddr_storage& sa) {
    std::memset(&sa, 0, sizeof sa);
    if (address.family == AF_INET_) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(sa);
        v4 = makeAddress(address.ipv4(), port);
        return sizeof v4;
    }
    if (address.family == AF_INET6_) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(sa);
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, address.bytes.data(), sizeof v6.sin6_addr);
        v6.sin6_port = port;
        v6.sin6_scope_id = address.scope;
        return sizeof v6;
    }
    return 0;
}

void splitAddress(const sockaddr_storage& sa, InetAddress* address, std::uint16_t* port) {
    InetAddress a;
    std::uint16_t p = 0;
    if (sa.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(sa);
        a.family = AF_INET6_;
        std::memcpy(a.bytes.data(), &v6.sin6_addr, sizeof v6.sin6_addr);
        a.scope = v6.sin6_scope_id;
        p = v6.sin6_port;
    } else if (sa.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(sa);
        a = InetAddress::fromIPv4(v4.sin_addr.s_addr);
        p = v4.sin_port;
    }
    if (address)
        *address = a;
    if (port)
        *port = p;
}

} // namespace detail

using namespace detail;

std::uint16_t toNetworkOrder(std::uint16_t value) {
    return htons(value);
}
std::uint16_t fromNetworkOrder(std::uint16_t value) {
    return ntohs(value);
}

bool parseDottedAddress(const std::string& text, std::uint32_t& address) {
    in_addr a{};
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    address = a.s_addr;
    return true;
}

std::string addressToText(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

bool parseAddress(const std::string& text, InetAddress& address) {
    if (text.find('\0') != std::string::npos)
        return false;
    std::uint32_t v4 = 0;
    if (parseDottedAddress(text, v4)) {
        address = InetAddress::fromIPv4(v4);
        return true;
    }
    std::string bare = text;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    if (bare.find(':') == std::string::npos || bare.find_first_of("[] ") != std::string::npos)
        return false;
    std::string scope;
    if (auto percent = bare.find('%'); percent != std::string::npos) {
        scope = bare.substr(percent + 1);
        bare.resize(percent);
        if (scope.empty())
            return false;
    }
    in6_addr a{};
    if (::inet_pton(AF_INET6, bare.c_str(), &a) != 1)
        return false;
    InetAddress result;
    result.family = AF_INET6_;
    std::memcpy(result.bytes.data(), &a, sizeof a);
    if (!scope.empty()) {
        if (scope.find_first_not_of("0123456789") == std::string::npos && scope.size() < 10)
            result.scope = static_cast<std::uint32_t>(std::stoul(scope));
        else
            result.scope = ::if_nametoindex(scope.c_str());
        if (result.scope == 0)
            return false;
    }
    address = result;
    return true;
}

std::string addressToText(const InetAddress& address) {
    if (address.family == AF_INET_)
        return addressToText(address.ipv4());
    if (address.family != AF_INET6_)
        return {};
    char text[INET6_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text))
        return {};
    std::string result = text;
    if (address.scope != 0)
        result += "%" + std::to_string(address.scope);
    return result;
}

std::vector<InetAddress> addressesToTry(const HostEntry& entry) {
    if (!entry.allAddresses.empty())
        return entry.allAddresses;
    std::vector<InetAddress> result;
    result.reserve(entry.addresses.size());
    for (std::uint32_t a : entry.addresses)
        result.push_back(InetAddress::fromIPv4(a));
    return result;
}

} // namespace platform::winsock
