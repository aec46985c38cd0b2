// TYPE A line-end conversion, both ways.
#include "ftp/ftp_ascii.h"

namespace ftp {

bool AsciiToLocal(const std::uint8_t* bytes, std::size_t count, bool heldCR,
                  std::vector<std::uint8_t>& local) {
    local.reserve(local.size() + count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        if (heldCR && b != '\n')
            local.push_back('\r');
        heldCR = b == '\r';
        if (!heldCR)
            local.push_back(b);
    }
    return heldCR;
}

void AsciiToLocalEnd(bool heldCR, std::vector<std::uint8_t>& local) {
    if (heldCR)
        local.push_back('\r');
}

void AsciiToWire(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& wire) {
    wire.reserve(wire.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n')
            wire.push_back('\r');
        wire.push_back(bytes[i]);
    }
}

} // namespace ftp
