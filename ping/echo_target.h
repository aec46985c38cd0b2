#pragma once

// What the connection test's address text names: an IPv4 text read by the
// dotted rule, an IPv6 address, or a host name looked up through the
// socket library's resolver. The window's address box and mitu-check
// connection read their text here, so both ask the same address.

#include "platform/winsock.h"

#include <string>

namespace PingMod {

struct EchoTarget {
    platform::winsock::InetAddress address;
    // 0, or the lookup's error (11001 to 11004, or a socket error) when a
    // name did not resolve; `address` is then 0.0.0.0.
    int lookupError = 0;
    bool named = false; // the text was a host name, looked up
};

// Reads `text` (blanks around it ignored):
// - an IPv4 text (digits, dots and minus signs only, or nothing at all)
//   by DottedAddressToLong: anything but four parts is 0.0.0.0;
// - an IPv6 address, bare or in square brackets, with an optional scope;
// - anything else as a host name: the first address the current resolver
//   gives, of either family. The lookup blocks.
EchoTarget ResolveEchoTarget(const std::string& text);

// Why `text` can name no address at all, for a command line that refuses
// it at once: an empty text, an IPv4 text that is not four parts of 0 to
// 255, or a name with characters no host name has. Empty when it can.
std::string ImpossibleTarget(const std::string& text);

} // namespace PingMod
