#include "app/wave_file.h"

namespace app {

namespace {

std::uint32_t le32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::uint16_t le16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}

} // namespace

std::optional<WaveFile> WaveFile::parse(std::string_view bytes) {
    if (bytes.size() < 12 || bytes.substr(0, 4) != "RIFF" || bytes.substr(8, 4) != "WAVE")
        return std::nullopt;
    WaveFile wave;
    bool haveFormat = false;
    std::size_t at = 12;
    while (bytes.size() - at >= 8) {
        std::string_view id = bytes.substr(at, 4);
        std::size_t size = le32(bytes, at + 4);
        at += 8;
        if (size > bytes.size() - at)
            return std::nullopt;
        if (id == "fmt ") {
            if (size < 16 || le16(bytes, at) != 1) // 1: integer PCM
                return std::nullopt;
            wave.channels = le16(bytes, at + 2);
            wave.samplesPerSecond = static_cast<int>(le32(bytes, at + 4));
            wave.bitsPerSample = le16(bytes, at + 14);
            if (wave.channels < 1 || wave.samplesPerSecond < 1 ||
                (wave.bitsPerSample != 8 && wave.bitsPerSample != 16))
                return std::nullopt;
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat)
                return std::nullopt;
            wave.data = bytes.substr(at, size);
            return wave;
        }
        at += size + (size & 1); // chunks are padded to an even length
        if (at > bytes.size())
            break;
    }
    return std::nullopt;
}

} // namespace app
