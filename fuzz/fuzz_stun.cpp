// The STUN Binding response reader: whatever arrives, it takes only a
// whole message of the transaction it names, and what it takes holds up.
#include "checks/stun_message.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace checks::stun;
    const std::span<const std::uint8_t> bytes(data, size);
    // The transaction the message itself names, so that the reader gets
    // past the header; a zero one otherwise.
    TransactionId id{};
    if (size >= HeaderSize)
        std::memcpy(id.data(), data + 8, id.size());
    const auto response = readBindingResponse(bytes, id);
    if (response) {
        if (messageLength(bytes) != size || response->mapped.ip.empty())
            std::abort();
        if (response->fingerprint &&
            (crc32(bytes.first(size - 8)) ^ FingerprintXor) !=
                (std::uint32_t(data[size - 4]) << 24 | std::uint32_t(data[size - 3]) << 16 |
                 std::uint32_t(data[size - 2]) << 8 | data[size - 1]))
            std::abort();
        // Any other transaction is refused.
        id[0] ^= 1;
        if (readBindingResponse(bytes, id))
            std::abort();
    }
    return 0;
}
