// The echo probe's dotted-address reader.
#include "ping/ping_mod.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)PingMod::DottedAddressToLong(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
