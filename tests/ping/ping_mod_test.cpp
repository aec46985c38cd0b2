// The echo probe: address conversion, the socket-library messages, and
// real requests to loopback and to namespaces the test makes.

#include "ping/echo_target.h"
#include "ping/ping_mod.h"
#include "platform/icmp.h"
#include "platform/winsock.h"
#include "support/netns.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace winsock = platform::winsock;
namespace icmp = platform::icmp;
using PingMod::MessageBoxIcon;

TEST(DottedAddressToLong, PutsTheFirstPartInTheLowByte) {
    EXPECT_EQ(PingMod::DottedAddressToLong("10.1.2.3"), 0x0302010A);
    EXPECT_EQ(PingMod::DottedAddressToLong("127.0.0.1"), 0x0100007F);
    // Each part is taken modulo 256 (negative ones in two's complement).
    EXPECT_EQ(PingMod::DottedAddressToLong("1.2.3.300"), 0x2C030201);
    EXPECT_EQ(PingMod::DottedAddressToLong("1.2.3.65536"), 0x00030201);
    EXPECT_EQ(PingMod::DottedAddressToLong("-1.0.0.1"), 0x010000FF);
    // A fourth part of 128 or more sets the sign bit.
    EXPECT_EQ(PingMod::DottedAddressToLong("1.2.3.128"), static_cast<std::int32_t>(0x80030201u));
    EXPECT_EQ(PingMod::DottedAddressToLong("255.255.255.255"), -1);
    EXPECT_EQ(PingMod::DottedAddressToLong(" 10.1.2.3\n"), 0x0302010A);
}

TEST(DottedAddressToLong, AnythingButFourNumbersIsZero) {
    for (const char* text : {"1.2.3", "1.2.3.4.5", "", "1..2.3", "1.2.3.", "a.b.c.d", "1.2.3.4x",
                             "1.2.+3.4", "1.2.3.-", "1.2. 3.4", "localhost", "0x1.2.3.4"})
        EXPECT_EQ(PingMod::DottedAddressToLong(text), 0) << '"' << text << '"';
}

TEST(EchoTarget, ReadsIPv4TextsByTheDottedRuleAndAnythingElseAsAnAddressOrName) {
    const struct {
        const char* text;
        const char* address; // what the requests go to
        bool named;
    } rows[] = {
        {"10.1.2.3", "10.1.2.3", false},
        {" 999.1.1.1 ", "231.1.1.1", false}, // each part modulo 256, as the window always did
        {"1.2.3", "0.0.0.0", false},
        {"", "0.0.0.0", false},
        {"::1", "::1", false},
        {" [::1] ", "::1", false},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1", false},
    };
    for (const auto& row : rows) {
        const PingMod::EchoTarget target = PingMod::ResolveEchoTarget(row.text);
        EXPECT_EQ(target.lookupError, 0) << row.text;
        EXPECT_EQ(winsock::addressToText(target.address), row.address) << row.text;
        EXPECT_EQ(target.named, row.named) << row.text;
    }
    const PingMod::EchoTarget local = PingMod::ResolveEchoTarget("localhost");
    EXPECT_EQ(local.lookupError, 0);
    EXPECT_TRUE(local.named);
    const std::string text = winsock::addressToText(local.address);
    EXPECT_TRUE(text == "127.0.0.1" || text == "::1") << text;
}

TEST(EchoTarget, TextsThatNameNothingAreImpossible) {
    const std::string longLabel(64, 'a');
    for (const std::string& text :
         {std::string(), std::string("  "), std::string("999.1.1.1"), std::string("1.2.3"),
          std::string("1.2.3.4.5"), std::string("-1.0.0.1"), std::string("::g"),
          std::string("[::1"), std::string("a b"), std::string("host/name"), std::string("a..b"),
          longLabel})
        EXPECT_NE(PingMod::ImpossibleTarget(text), "") << '"' << text << '"';
    for (const char* text :
         {"10.1.2.3", " ::1 ", "[fe80::1%1]", "localhost", "ftp.example.org.", "a-b_c.example"})
        EXPECT_EQ(PingMod::ImpossibleTarget(text), "") << '"' << text << '"';
}

TEST(ByteOf, SplitsSixteenBitValues) {
    EXPECT_EQ(PingMod::LowByteOf(0x0201), 1);
    EXPECT_EQ(PingMod::HighByteOf(0x0201), 2);
    EXPECT_EQ(PingMod::LowByteOf(0x7FFF), 0xFF);
    EXPECT_EQ(PingMod::HighByteOf(0x7FFF), 0x7F);
    // Negative values: the division rounds toward zero.
    EXPECT_EQ(PingMod::LowByteOf(-1), 0xFF);
    EXPECT_EQ(PingMod::HighByteOf(-1), 0);
    EXPECT_EQ(PingMod::HighByteOf(-256), 0xFF);
}

namespace {

class PingModTest : public ::testing::Test {
protected:
    void SetUp() override {
        PingMod::setMessageBoxSink([this](const std::string& text, MessageBoxIcon icon) {
            messages.emplace_back(text, icon);
        });
        startups = winsock::startupCount();
    }
    void TearDown() override {
        PingMod::setMessageBoxSink({});
        winsock::setStartupFailure(0);
        winsock::setCleanupFailure(0);
        winsock::setStartupGrant(std::nullopt);
        icmp::setSocketKind(icmp::SocketKind::Automatic);
        EXPECT_EQ(winsock::startupCount(), startups) << "start-ups and clean-ups must balance";
    }
    void grant(std::uint16_t version, std::uint16_t sockets) {
        winsock::WSAData data;
        data.wVersion = version;
        data.iMaxSockets = sockets;
        winsock::setStartupGrant(data);
    }

    std::vector<std::pair<std::string, MessageBoxIcon>> messages;
    int startups = 0;
};

const std::pair<std::string, MessageBoxIcon> kNotResponding{
    "Windows Sockets for 32 bit Windows environments is not successfully responding.",
    MessageBoxIcon::None};
const std::pair<std::string, MessageBoxIcon> kCleanupFailed{
    "Windows Sockets error -1 occurred in Cleanup.", MessageBoxIcon::Exclamation};

} // namespace

TEST_F(PingModTest, AcceptsVersionOnePointOneAndLater) {
    for (std::uint16_t version : {0x0101, 0x0201, 0x0002}) {
        grant(version, 1);
        EXPECT_TRUE(PingMod::StartEchoSockets()) << version;
        EXPECT_TRUE(PingMod::StopEchoSockets());
    }
    // A socket count of 32768 or more is plenty, not a negative number.
    grant(0x0101, 65535);
    EXPECT_TRUE(PingMod::StartEchoSockets());
    EXPECT_TRUE(PingMod::StopEchoSockets());
    EXPECT_TRUE(messages.empty());
}

TEST_F(PingModTest, RefusesOlderVersionsAndNoSockets) {
    grant(0x0001, 100);
    EXPECT_FALSE(PingMod::StartEchoSockets());
    EXPECT_TRUE(PingMod::StopEchoSockets()); // the caller still shuts the library down
    grant(0x0900, 100);
    EXPECT_FALSE(PingMod::StartEchoSockets());
    EXPECT_TRUE(PingMod::StopEchoSockets());
    grant(0x0101, 0);
    EXPECT_FALSE(PingMod::StartEchoSockets());
    EXPECT_TRUE(PingMod::StopEchoSockets());

    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].first, "Windows Sockets Version 1.0 is not supported by Windows Sockets "
                                 "for 32 bit Windows environments.");
    EXPECT_EQ(messages[1].first, "Windows Sockets Version 0.9 is not supported by Windows Sockets "
                                 "for 32 bit Windows environments.");
    EXPECT_EQ(messages[2].first, "This application requires a minimum of 1 supported sockets.");
    for (auto& m : messages)
        EXPECT_EQ(m.second, MessageBoxIcon::Exclamation);
}

TEST_F(PingModTest, FailingStartUpStillSendsTheRequest) {
    winsock::setStartupFailure(winsock::WSASYSNOTREADY);
    PingMod::EchoReply reply{};
    std::int32_t result = PingMod::SendEchoRequest("127.0.0.1", reply);
    EXPECT_GE(result, 0);
    EXPECT_EQ(reply.Status, 0u);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], kNotResponding);
    EXPECT_EQ(messages[1], kCleanupFailed);
}

TEST_F(PingModTest, FailingCleanUpIsShownAndTheResultKept) {
    winsock::setCleanupFailure(winsock::WSAEINPROGRESS);
    PingMod::EchoReply reply{};
    EXPECT_GE(PingMod::SendEchoRequest("127.0.0.1", reply), 0);
    winsock::setCleanupFailure(0);
    EXPECT_TRUE(PingMod::StopEchoSockets()); // the start-up the failed clean-up left behind
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], kCleanupFailed);
}

TEST_F(PingModTest, EchoesThroughLoopbackIntoTheRecord) {
    PingMod::EchoReply reply{};
    std::int32_t result = PingMod::SendEchoRequest("127.0.0.1", reply);
    EXPECT_GE(result, 0);
    EXPECT_LT(result, 1000);
    EXPECT_EQ(static_cast<std::uint32_t>(result), reply.RoundTripTime);
    EXPECT_EQ(reply.Status, 0u);
    EXPECT_EQ(reply.Address, 0x0100007Fu);
    EXPECT_EQ(reply.DataSize, 9);
    EXPECT_EQ(std::string(reply.Data, 9), "Echo This");
    EXPECT_TRUE(messages.empty());
}

TEST_F(PingModTest, MalformedAddressFailsInsteadOfReachingThisHost) {
    PingMod::EchoReply reply{};
    EXPECT_EQ(PingMod::SendEchoRequest("1.2.3", reply), -11018);
    EXPECT_EQ(reply.Status, 11018u);
    // The same record, reused, reports the next request's own outcome.
    EXPECT_GE(PingMod::SendEchoRequest("127.0.0.1", reply), 0);
    EXPECT_EQ(reply.Status, 0u);
    EXPECT_EQ(PingMod::SendEchoRequest("10.1.x.3", reply), -11018);
}

TEST_F(PingModTest, NoIcmpSocketIsEchoNotPermitted) {
    auto ns = testing_netns::Namespace::create("nosocket"); // admits no group to datagram sockets
    if (!ns)
        GTEST_SKIP() << "network namespaces are not available here";
    testing_netns::Enter inside(*ns);
    ASSERT_TRUE(inside.ok());
    icmp::setSocketKind(icmp::SocketKind::Datagram);
    PingMod::EchoReply reply{}; // a fresh record: a silent failure would read as 0 ms
    EXPECT_EQ(PingMod::SendEchoRequest("127.0.0.1", reply), -5); // "access denied"
    EXPECT_EQ(reply.Status, PingMod::EchoNotPermitted);
}

TEST_F(PingModTest, TimesOutAfterTenSeconds) {
    auto ns = testing_netns::Namespace::create("silent");
    if (!ns || !ns->sysctl("net.ipv4.icmp_echo_ignore_all", "1"))
        GTEST_SKIP() << "network namespaces are not available here";
    testing_netns::Enter inside(*ns);
    ASSERT_TRUE(inside.ok());
    PingMod::EchoReply reply{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PingMod::SendEchoRequest("127.0.0.1", reply), -11010);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(10000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(12000));
}
