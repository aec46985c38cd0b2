// The platform's ICMP echo: both socket kinds against loopback, and the
// failure statuses against routes and routers in namespaces the test makes.

#include "platform/icmp.h"
#include "support/netns.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace icmp = platform::icmp;
using testing_netns::Enter;
using testing_netns::Namespace;

namespace {

constexpr char kData[] = "Echo This";
constexpr std::uint16_t kDataSize = 9;

std::uint32_t address(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

struct Echo {
    std::uint32_t count = 0;
    icmp::ICMP_ECHO_REPLY header{};
    std::string data;
};

Echo echo(icmp::HANDLE handle, const char* destination, std::uint32_t timeoutMs = 3000,
          std::uint32_t replySize = 278) {
    std::vector<std::uint8_t> buffer(replySize, 0xEE);
    Echo result;
    result.count = icmp::IcmpSendEcho(handle, address(destination), kData, kDataSize, nullptr,
                                      buffer.data(), replySize, timeoutMs);
    std::memcpy(&result.header, buffer.data(), sizeof result.header);
    if (result.header.Status == icmp::IP_SUCCESS && result.header.DataSize <= replySize - 28)
        result.data.assign(reinterpret_cast<const char*>(buffer.data() + 28),
                           result.header.DataSize);
    return result;
}

class IcmpTest : public ::testing::Test {
protected:
    void TearDown() override { icmp::setSocketKind(icmp::SocketKind::Automatic); }

    // Opens a handle of the wanted kind inside the current namespace.
    icmp::HANDLE open(icmp::SocketKind kind) {
        icmp::setSocketKind(kind);
        icmp::HANDLE handle = icmp::IcmpCreateFile();
        handles.push_back(handle);
        return handle;
    }
    ~IcmpTest() override {
        for (auto h : handles)
            icmp::IcmpCloseHandle(h);
    }
    std::vector<icmp::HANDLE> handles;
};

std::unique_ptr<Namespace> admittingNamespace(const std::string& tag) {
    auto ns = Namespace::create(tag);
    if (ns && !ns->sysctl("net.ipv4.ping_group_range", "0 2147483647"))
        return nullptr;
    return ns;
}

#define REQUIRE_NAMESPACE(ns)                                                                      \
    if (!(ns))                                                                                     \
    GTEST_SKIP() << "network namespaces are not available here"

void expectLoopbackReply(const Echo& e) {
    EXPECT_EQ(e.count, 1u);
    EXPECT_EQ(e.header.Status, icmp::IP_SUCCESS);
    EXPECT_EQ(e.header.Address, address("127.0.0.1"));
    EXPECT_LT(e.header.RoundTripTime, 1000u);
    EXPECT_EQ(e.header.DataSize, kDataSize);
    EXPECT_EQ(e.header.DataPointer, 28u);
    EXPECT_EQ(e.header.Ttl, 64);
    EXPECT_EQ(e.data, kData);
}

} // namespace

TEST_F(IcmpTest, RawSocketEchoesThroughLoopback) {
    icmp::HANDLE h = open(icmp::SocketKind::Raw);
    ASSERT_NE(h, icmp::INVALID_HANDLE_VALUE) << "raw ICMP needs root or CAP_NET_RAW";
    EXPECT_EQ(icmp::socketKindOf(h), icmp::SocketKind::Raw);
    // Loopback answers in well under a millisecond, which counts as 0.
    bool sawZero = false;
    for (int i = 0; i < 5; ++i) {
        Echo e = echo(h, "127.0.0.1");
        expectLoopbackReply(e);
        sawZero = sawZero || e.header.RoundTripTime == 0;
    }
    EXPECT_TRUE(sawZero);
}

TEST_F(IcmpTest, DatagramSocketWhereTheGroupIsAdmitted) {
    auto ns = admittingNamespace("dgram");
    REQUIRE_NAMESPACE(ns);
    Enter inside(*ns);
    ASSERT_TRUE(inside.ok());
    icmp::HANDLE h = open(icmp::SocketKind::Automatic);
    ASSERT_NE(h, icmp::INVALID_HANDLE_VALUE);
    EXPECT_EQ(icmp::socketKindOf(h), icmp::SocketKind::Datagram);
    expectLoopbackReply(echo(h, "127.0.0.1"));
    expectLoopbackReply(echo(h, "127.0.0.1"));
}

TEST_F(IcmpTest, RawSocketWhereTheGroupIsNotAdmitted) {
    auto ns = Namespace::create("nodgram"); // a new namespace admits no group
    REQUIRE_NAMESPACE(ns);
    Enter inside(*ns);
    ASSERT_TRUE(inside.ok());
    icmp::HANDLE automatic = open(icmp::SocketKind::Automatic);
    EXPECT_EQ(icmp::socketKindOf(automatic), icmp::SocketKind::Raw);
    expectLoopbackReply(echo(automatic, "127.0.0.1"));

    // Without any ICMP socket the request fails as a general failure,
    // never as a reply.
    icmp::HANDLE none = open(icmp::SocketKind::Datagram);
    EXPECT_EQ(none, icmp::INVALID_HANDLE_VALUE);
    EXPECT_EQ(icmp::socketKindOf(none), icmp::SocketKind::Automatic);
    Echo e = echo(none, "127.0.0.1");
    EXPECT_EQ(e.count, 0u);
    EXPECT_EQ(e.header.Status, icmp::IP_GENERAL_FAILURE);
}

// ICMPv6 answers in the same header; a datagram socket where the group
// is admitted (the IPv4 range admits ICMPv6 too), a raw one otherwise.
TEST_F(IcmpTest, Icmp6EchoesThroughLoopbackWithEitherKind) {
    std::array<std::uint8_t, 16> loopback{};
    loopback[15] = 1;
    auto echo6 = [&](icmp::SocketKind kind) {
        icmp::setSocketKind(kind);
        icmp::HANDLE h = icmp::Icmp6CreateFile();
        EXPECT_NE(h, icmp::INVALID_HANDLE_VALUE);
        EXPECT_EQ(icmp::socketKindOf6(h), kind);
        std::vector<std::uint8_t> buffer(278, 0xEE);
        Echo e;
        e.count = icmp::Icmp6SendEcho(h, loopback, 0, kData, kDataSize, buffer.data(), 278, 3000);
        std::memcpy(&e.header, buffer.data(), sizeof e.header);
        e.data.assign(reinterpret_cast<const char*>(buffer.data() + 28), kDataSize);
        EXPECT_EQ(e.count, 1u);
        EXPECT_EQ(e.header.Status, icmp::IP_SUCCESS);
        EXPECT_EQ(e.header.Ttl, 64);
        EXPECT_EQ(e.data, kData);
        // "::" is refused like 0.0.0.0.
        EXPECT_EQ(icmp::Icmp6SendEcho(h, {}, 0, kData, kDataSize, buffer.data(), 278, 3000), 0u);
        std::memcpy(&e.header, buffer.data(), sizeof e.header);
        EXPECT_EQ(e.header.Status, icmp::IP_BAD_DESTINATION);
        EXPECT_TRUE(icmp::Icmp6CloseHandle(h));
    };
    echo6(icmp::SocketKind::Raw);
    auto ns = admittingNamespace("dgram6");
    REQUIRE_NAMESPACE(ns);
    Enter inside(*ns);
    ASSERT_TRUE(inside.ok());
    echo6(icmp::SocketKind::Datagram);
}

TEST_F(IcmpTest, RefusesWhatCannotBeSent) {
    icmp::HANDLE h = open(icmp::SocketKind::Automatic);
    ASSERT_NE(h, icmp::INVALID_HANDLE_VALUE);

    // 0.0.0.0 would be answered by this host.
    Echo zero = echo(h, "0.0.0.0");
    EXPECT_EQ(zero.count, 0u);
    EXPECT_EQ(zero.header.Status, icmp::IP_BAD_DESTINATION);

    // Room for the header, the data and 8 bytes is required.
    EXPECT_EQ(echo(h, "127.0.0.1", 1000, 28 + kDataSize + 8).header.Status, icmp::IP_SUCCESS);
    Echo small = echo(h, "127.0.0.1", 1000, 28 + kDataSize + 7);
    EXPECT_EQ(small.count, 0u);
    EXPECT_EQ(small.header.Status, icmp::IP_BUF_TOO_SMALL);

    // A buffer without room for the header is left alone.
    std::uint8_t tiny[27];
    std::memset(tiny, 0xEE, sizeof tiny);
    EXPECT_EQ(icmp::IcmpSendEcho(h, address("127.0.0.1"), kData, kDataSize, nullptr, tiny,
                                 sizeof tiny, 1000),
              0u);
    EXPECT_EQ(tiny[4], 0xEE);

    // IP options are not offered.
    std::uint8_t options[8] = {};
    std::uint8_t reply[278];
    EXPECT_EQ(icmp::IcmpSendEcho(h, address("127.0.0.1"), kData, kDataSize, options, reply,
                                 sizeof reply, 1000),
              0u);
    icmp::ICMP_ECHO_REPLY header;
    std::memcpy(&header, reply, sizeof header);
    EXPECT_EQ(header.Status, icmp::IP_GENERAL_FAILURE);

    // A closed handle fails the same way.
    EXPECT_TRUE(icmp::IcmpCloseHandle(h));
    EXPECT_FALSE(icmp::IcmpCloseHandle(h));
    EXPECT_EQ(echo(h, "127.0.0.1").header.Status, icmp::IP_GENERAL_FAILURE);
}

// Both socket kinds, in a client namespace wired to a router namespace.
class IcmpRoutesTest : public IcmpTest, public ::testing::WithParamInterface<icmp::SocketKind> {
protected:
    void SetUp() override {
        client = admittingNamespace("client");
        router = Namespace::create("router");
        if (!client || !router)
            return;
        ready = client->link(*router, "c0", "r0") && client->ip("addr add 10.200.0.1/24 dev c0") &&
                router->ip("addr add 10.200.0.2/24 dev r0") &&
                client->ip("route add 10.201.0.0/16 via 10.200.0.2") &&
                client->ip("route add unreachable 10.202.0.0/16") &&
                router->sysctl("net.ipv4.ip_forward", "1") &&
                router->ip("route add unreachable 10.201.1.0/24");
    }
    std::unique_ptr<Namespace> client, router;
    bool ready = false;
};

TEST_P(IcmpRoutesTest, ReportsUnreachableNetworksAndHosts) {
    if (!ready)
        GTEST_SKIP() << "network namespaces are not available here";
    Enter inside(*client);
    ASSERT_TRUE(inside.ok());
    icmp::HANDLE h = open(GetParam());
    ASSERT_NE(h, icmp::INVALID_HANDLE_VALUE);
    ASSERT_EQ(icmp::socketKindOf(h), GetParam());

    // The router answers the echo itself.
    Echo reply = echo(h, "10.200.0.2");
    EXPECT_EQ(reply.count, 1u);
    EXPECT_EQ(reply.header.Address, address("10.200.0.2"));
    EXPECT_EQ(reply.data, kData);

    // Found out locally, when sending.
    EXPECT_EQ(echo(h, "10.99.0.1").header.Status, icmp::IP_DEST_NET_UNREACHABLE);
    EXPECT_EQ(echo(h, "10.202.0.1").header.Status, icmp::IP_DEST_HOST_UNREACHABLE);

    // Reported by the router in an ICMP message quoting the request.
    Echo host = echo(h, "10.201.1.1");
    EXPECT_EQ(host.count, 0u);
    EXPECT_EQ(host.header.Status, icmp::IP_DEST_HOST_UNREACHABLE);
    EXPECT_EQ(host.header.Address, address("10.200.0.2"));
    Echo net = echo(h, "10.201.2.1");
    EXPECT_EQ(net.count, 0u);
    EXPECT_EQ(net.header.Status, icmp::IP_DEST_NET_UNREACHABLE);
}

TEST_P(IcmpRoutesTest, TimesOutWhileIgnoringOtherTraffic) {
    if (!ready)
        GTEST_SKIP() << "network namespaces are not available here";
    ASSERT_TRUE(router->sysctl("net.ipv4.icmp_echo_ignore_all", "1"));
    Enter inside(*client);
    ASSERT_TRUE(inside.ok());
    icmp::HANDLE h = open(GetParam());
    ASSERT_NE(h, icmp::INVALID_HANDLE_VALUE);

    // Meanwhile another prober in the same namespace gets replies from
    // loopback, which a raw socket sees too and must not take for ours,
    // even where the sequence numbers agree.
    std::atomic<bool> stop{false};
    std::atomic<int> strangerReplies{0};
    std::thread stranger([&] {
        Enter alsoInside(*client);
        int fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP);
        std::uint8_t request[8 + kDataSize] = {8, 0, 0, 0, 0x12, 0x34, 0, 1};
        std::memcpy(request + 8, kData, kDataSize);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address("127.0.0.1");
        for (std::uint16_t sequence = 0; fd >= 0 && !stop; ++sequence) {
            request[6] = static_cast<std::uint8_t>(sequence >> 8);
            request[7] = static_cast<std::uint8_t>(sequence);
            request[2] = request[3] = 0;
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < sizeof request; i += 2)
                sum += request[i] << 8 | (i + 1 < sizeof request ? request[i + 1] : 0);
            sum = (sum & 0xFFFF) + (sum >> 16);
            sum = ~((sum & 0xFFFF) + (sum >> 16));
            request[2] = static_cast<std::uint8_t>(sum >> 8);
            request[3] = static_cast<std::uint8_t>(sum);
            ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::uint8_t packet[128];
            for (ssize_t n; (n = ::recv(fd, packet, sizeof packet, 0)) >= 28;)
                if (packet[20] == 0 && packet[24] == 0x12 && packet[25] == 0x34)
                    ++strangerReplies;
        }
        if (fd >= 0)
            ::close(fd);
    });
    auto start = std::chrono::steady_clock::now();
    Echo e = echo(h, "10.200.0.2", 1500);
    auto elapsed = std::chrono::steady_clock::now() - start;
    stop = true;
    stranger.join();
    EXPECT_GT(strangerReplies.load(), 0);

    EXPECT_EQ(e.count, 0u);
    EXPECT_EQ(e.header.Status, icmp::IP_REQ_TIMED_OUT);
    EXPECT_GE(elapsed, std::chrono::milliseconds(1500));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, IcmpRoutesTest,
                         ::testing::Values(icmp::SocketKind::Raw, icmp::SocketKind::Datagram),
                         [](const auto& info) {
                             return info.param == icmp::SocketKind::Raw ? "Raw" : "Datagram";
                         });
