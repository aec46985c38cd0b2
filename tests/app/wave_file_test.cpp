#include "app/wave_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using app::WaveFile;

std::string le32(std::uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}
std::string le16(std::uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

std::string fmtChunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                     std::uint16_t bits) {
    const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    return "fmt " + le32(16) + le16(tag) + le16(channels) + le32(rate) + le32(rate * align) +
           le16(align) + le16(bits);
}

std::string riff(const std::string& chunks) {
    return "RIFF" + le32(4 + chunks.size()) + "WAVE" + chunks;
}

TEST(WaveFile, FindsFormatAndDataPastOtherAndOddSizedChunks) {
    const std::string data(5, '\x80');
    const std::string bytes = riff(fmtChunk(1, 1, 11025, 8) + "LIST" + le32(3) + "abc" + '\0' +
                                   "data" + le32(5) + data + '\0');
    auto wave = WaveFile::parse(bytes);
    ASSERT_TRUE(wave);
    EXPECT_EQ(wave->channels, 1);
    EXPECT_EQ(wave->samplesPerSecond, 11025);
    EXPECT_EQ(wave->bitsPerSample, 8);
    EXPECT_EQ(wave->data, data);
}

TEST(WaveFile, RejectsWhatCannotBePlayedAsIs) {
    const std::string data = "data" + le32(4) + "abcd";
    EXPECT_FALSE(WaveFile::parse(""));
    EXPECT_FALSE(WaveFile::parse("RIFF\0\0\0\0AVI "));
    EXPECT_FALSE(WaveFile::parse(riff(data)));                            // no format
    EXPECT_FALSE(WaveFile::parse(riff(data + fmtChunk(1, 1, 8000, 8))));  // format after data
    EXPECT_FALSE(WaveFile::parse(riff(fmtChunk(3, 1, 8000, 32) + data))); // not integer PCM
    EXPECT_FALSE(WaveFile::parse(riff(fmtChunk(1, 0, 8000, 8) + data)));
    EXPECT_FALSE(WaveFile::parse(riff(fmtChunk(1, 1, 8000, 12) + data)));
    // A data chunk that claims more than the file holds.
    EXPECT_FALSE(WaveFile::parse(riff(fmtChunk(1, 1, 8000, 8) + "data" + le32(100) + "abcd")));
    EXPECT_FALSE(WaveFile::parse(riff(fmtChunk(1, 1, 8000, 8) + "data" + le32(0xFFFFFFF0u))));
}

} // namespace
