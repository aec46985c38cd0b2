#include "ping/echo_target.h"

#include "ping/ping_mod.h"

namespace PingMod {

namespace winsock = platform::winsock;

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool ipv4Text(const std::string& text) {
    return text.find_first_not_of("0123456789.-") == std::string::npos;
}

} // namespace

EchoTarget ResolveEchoTarget(const std::string& text) {
    const std::string bare = trimmed(text);
    EchoTarget target;
    if (ipv4Text(bare)) {
        target.address =
            winsock::InetAddress::fromIPv4(static_cast<std::uint32_t>(DottedAddressToLong(bare)));
        return target;
    }
    winsock::InetAddress literal;
    if (bare.find(':') != std::string::npos && winsock::parseAddress(bare, literal)) {
        target.address = literal;
        return target;
    }
    winsock::HostEntry entry;
    target.named = true;
    target.lookupError = winsock::currentResolver()->lookup(bare, entry);
    const std::vector<winsock::InetAddress> found = winsock::addressesToTry(entry);
    if (target.lookupError == 0 && found.empty())
        target.lookupError = winsock::WSANO_DATA;
    if (target.lookupError == 0)
        target.address = found.front();
    return target;
}

std::string ImpossibleTarget(const std::string& text) {
    const std::string bare = trimmed(text);
    if (bare.empty())
        return "no address given";
    if (ipv4Text(bare)) {
        std::uint32_t address = 0;
        if (!winsock::parseDottedAddress(bare, address))
            return "\"" + bare + "\" is not an IPv4 address (four numbers from 0 to 255)";
        return {};
    }
    winsock::InetAddress literal;
    if (bare.find(':') != std::string::npos || bare.front() == '[') {
        if (!winsock::parseAddress(bare, literal))
            return "\"" + bare + "\" is not an IPv6 address";
        return {};
    }
    // Letters, digits, hyphens and underscores in labels of 1 to 63,
    // 253 in all (a final dot allowed).
    std::string name = bare.back() == '.' ? bare.substr(0, bare.size() - 1) : bare;
    bool good = !name.empty() && name.size() <= 253;
    std::size_t label = 0;
    for (char c : name) {
        const bool part = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (c == '.') {
            good = good && label > 0;
            label = 0;
        } else {
            good = good && part && ++label <= 63;
        }
    }
    if (!good || label == 0)
        return "\"" + bare + "\" is not a host name or an address";
    return {};
}

} // namespace PingMod
