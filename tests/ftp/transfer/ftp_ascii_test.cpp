// TYPE A line ends, each text cut into pieces at every pair of boundaries.
#include "ftp/ftp_ascii.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Row {
    std::string wire;
    std::string local;
    bool toWire = true; // the local text goes out as `wire` again
};

const Row Rows[] = {
    {"", ""},
    {"one\r\ntwo\r\n", "one\ntwo\n"},
    {"three\rfour\r\n", "three\rfour\n"}, // a CR without LF is kept
    {"end\r", "end\r"},                   // so is one at the very end
    {"\r\r\n\r", "\r\n\r"},
    {"\r\n\r\n", "\n\n"},
    {"bare\nlf", "bare\nlf", false},
};

TEST(AsciiLineEnds, EveryRowCutAtEveryBoundary) {
    for (const Row& row : Rows) {
        SCOPED_TRACE(row.wire);
        const auto* wire = reinterpret_cast<const std::uint8_t*>(row.wire.data());
        const std::size_t n = row.wire.size();
        for (std::size_t i = 0; i <= n; ++i) {
            for (std::size_t j = i; j <= n; ++j) {
                std::vector<std::uint8_t> local;
                bool held = ftp::AsciiToLocal(wire, i, false, local);
                held = ftp::AsciiToLocal(wire + i, j - i, held, local);
                held = ftp::AsciiToLocal(wire + j, n - j, held, local);
                ftp::AsciiToLocalEnd(held, local);
                EXPECT_EQ(std::string(local.begin(), local.end()), row.local) << i << ' ' << j;
            }
        }
        const auto* text = reinterpret_cast<const std::uint8_t*>(row.local.data());
        for (std::size_t i = 0; row.toWire && i <= row.local.size(); ++i) {
            std::vector<std::uint8_t> out;
            ftp::AsciiToWire(text, i, out);
            ftp::AsciiToWire(text + i, row.local.size() - i, out);
            EXPECT_EQ(std::string(out.begin(), out.end()), row.wire) << i;
        }
    }
}

} // namespace
