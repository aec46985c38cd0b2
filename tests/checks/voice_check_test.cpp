// The voice check's pure parts: the STUN messages, the E-model against
// figures worked out by hand from ITU-T G.107, the jitter, the server text.

#include "checks/e_model.h"
#include "checks/stun_message.h"
#include "checks/voice_check.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace checks;
using Bytes = std::vector<std::uint8_t>;

namespace {

const stun::TransactionId Id = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
                                0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

// A seed of the fuzz target, written outside this code (CRC-32 from
// another implementation): ipv4-fingerprint holds XOR-MAPPED-ADDRESS
// 127.0.0.1:40000, MAPPED-ADDRESS 192.0.2.1:3478 and FINGERPRINT;
// mapped-only MAPPED-ADDRESS 192.0.2.1:3478 alone, as an older server
// answers; ipv6 XOR-MAPPED-ADDRESS [::1]:40001 and FINGERPRINT.
Bytes seed(const char* name) {
    std::ifstream in(std::string(MITU_SOURCE_DIR "/fuzz/corpus/stun/") + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(StunMessage, ReaderTakesOnlyWholeAnswersToItsTransaction) {
    // A row spoils its message: one bit flipped, cut to `keep` bytes, the
    // header's length replaced (its low byte).
    struct Row {
        const char* name;
        Bytes bytes;
        int flip = -1, keep = 0, length = -1;
        std::optional<stun::MappedAddress> mapped = {}; // empty: ignored
        bool xorMapped = true;
    };
    const Bytes Good = seed("ipv4-fingerprint"), MappedOnly = seed("mapped-only");
    const Row rows[] = {
        {"good", Good, -1, 0, -1, stun::MappedAddress{"127.0.0.1", 40000}},
        {"wrong transaction", Good, 19},
        {"bad cookie", Good, 7},
        {"length too long", Good, -1, 0, 36},
        {"length not whole words", Good, -1, 51, 31},
        {"truncated attribute", Good, -1, 28, 8},
        {"bad fingerprint", Good, 51},
        {"a request", Good, 0},
        {"mapped address only", MappedOnly, -1, 0, -1, stun::MappedAddress{"192.0.2.1", 3478},
         false},
        {"no address", MappedOnly, -1, 20, 0},
        {"IPv6", seed("ipv6"), -1, 0, -1, stun::MappedAddress{"::1", 40001}},
    };
    for (const Row& row : rows) {
        Bytes bytes = row.bytes;
        if (row.flip >= 0)
            bytes[row.flip] ^= 1;
        if (row.keep > 0)
            bytes.resize(row.keep);
        if (row.length >= 0)
            bytes[3] = static_cast<std::uint8_t>(row.length);
        const auto response = stun::readBindingResponse(bytes, Id);
        ASSERT_EQ(response.has_value(), row.mapped.has_value()) << row.name;
        if (response) {
            EXPECT_EQ(response->mapped, *row.mapped) << row.name;
            EXPECT_EQ(response->xorMapped, row.xorMapped) << row.name;
        }
    }
    // The request: header, transaction, FINGERPRINT (CRC-32 from another
    // implementation).
    EXPECT_EQ(stun::bindingRequest(Id),
              Bytes({0x00, 0x01, 0x00, 0x08, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7,
                     0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae,
                     0x80, 0x28, 0x00, 0x04, 0xfd, 0xf6, 0xae, 0x02}));
}

TEST(EModel, RatingsMatchG107WorkedByHand) {
    // R = Ro - Is - (Idte + Idle + Idd) - Ie-eff with G.107's defaults
    // (Ro 94.769, Is 1.414), worked through formulas 7-31 to 7-38 and 7-29;
    // MOS from formula B-4.
    struct Row {
        double oneWayMs, lossPercent, r, mos;
    };
    const Row rows[] = {
        {0, 0, 93.206, 4.409},      // Idle 0.149 alone: the familiar 93.2
        {43.75, 0, 91.906, 4.383},  // Idte 0.897, Idle 0.552
        {150, 0, 89.539, 4.328},    // Idd 0.164 past mT = 100 ms
        {300, 0, 72.666, 3.719},    // Idd 14.761
        {43.75, 20, 49.778, 2.563}, // Ie-eff = 95 * 20 / (20 + 25.1)
        {200, 1, 82.165, 4.103},
    };
    for (const Row& row : rows) {
        EXPECT_NEAR(emodel::rating(row.oneWayMs, row.lossPercent), row.r, 0.002) << row.oneWayMs;
        EXPECT_NEAR(emodel::mos(row.r), row.mos, 0.001) << row.oneWayMs;
    }
    EXPECT_EQ(emodel::mos(-5), 1);
    EXPECT_EQ(emodel::mos(120), 4.5);
    // Half the round trip, twice the jitter (20 ms at least), 23.75 ms of codec.
    EXPECT_DOUBLE_EQ(emodel::oneWayDelayMs(100, 5), 50 + 20 + 23.75);
    EXPECT_DOUBLE_EQ(emodel::oneWayDelayMs(100, 30), 50 + 60 + 23.75);
    const std::pair<double, const char*> labels[] = {
        {4.2, "excellent"}, {4.19, "great"}, {4.1, "great"},    {3.7, "good"},
        {3.69, "fair"},     {3.1, "fair"},   {3.09, "degraded"}};
    for (const auto& [mos, label] : labels)
        EXPECT_EQ(emodel::label(mos), label) << mos;
}

TEST(VoiceCheck, JitterAndServerText) {
    // D = 2 each time: J = 0.125, 0.2422, 0.35205; a lost request is skipped.
    EXPECT_NEAR(*interarrivalJitter({1, 3, std::nullopt, 1, 3}), 0.35205, 1e-5);
    EXPECT_FALSE(interarrivalJitter({1, std::nullopt}));
    struct Row {
        const char* text;
        const char* host; // nullptr: refused
        std::uint16_t port;
    };
    const Row rows[] = {{"localhost", "localhost", 3478},
                        {"localhost:5000", "localhost", 5000},
                        {"::1", "::1", 3478},
                        {"[::1]:5000", "::1", 5000},
                        {"[::1]", "::1", 3478},
                        {"localhost:0", nullptr, 0},
                        {"[::1]5000", nullptr, 0},
                        {"[::1", nullptr, 0},
                        {"", nullptr, 0}};
    for (const Row& row : rows) {
        std::string host, why;
        std::uint16_t port = 0;
        ASSERT_EQ(splitServer(row.text, host, port, why), row.host != nullptr) << row.text;
        if (row.host) {
            EXPECT_EQ(host, row.host);
            EXPECT_EQ(port, row.port);
        }
    }
}
