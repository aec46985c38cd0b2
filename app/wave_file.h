#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace app {

// An uncompressed PCM wave file held in memory: its format and where its
// sound data lies. The data view points into the parsed bytes.
struct WaveFile {
    int channels = 0;
    int samplesPerSecond = 0;
    int bitsPerSample = 0;
    std::string_view data;

    // Null if the bytes are not a RIFF/WAVE file with a PCM format chunk
    // and a data chunk that lies wholly inside them.
    static std::optional<WaveFile> parse(std::string_view bytes);

    std::size_t bytesPerFrame() const {
        return static_cast<std::size_t>(channels) * static_cast<std::size_t>(bitsPerSample / 8);
    }
    double seconds() const {
        return static_cast<double>(data.size()) /
               (static_cast<double>(bytesPerFrame()) * samplesPerSecond);
    }
};

} // namespace app
