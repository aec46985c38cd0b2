// The echo probe's dotted-address reader and the socket shim's literal
// address reader, whose text form must read back as the same address.
#include "ping/ping_mod.h"
#include "platform/winsock.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)PingMod::DottedAddressToLong(text);
    platform::winsock::InetAddress address, again;
    if (platform::winsock::parseAddress(text, address) &&
        (!platform::winsock::parseAddress(platform::winsock::addressToText(address), again) ||
         !(again == address)))
        std::abort();
    return 0;
}
