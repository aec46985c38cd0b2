// mitu-check voice against coturn of the test's own: loopback, UDP dropped
// or thinned by nftables in a namespace, and answers delayed and spoiled by
// a relay.

#include "run_program.h"
#include "support/netns.h"
#include "support/stun_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// mitu-check with `arguments` (shell words), after `prefix`.
Result runCheck(const std::string& arguments, const std::string& prefix = "") {
    return runShell(prefix + " " + MITU_CHECK_PATH + " " + arguments);
}

// A UDP relay on loopback in front of a STUN server: each answer is held
// back by a delay of its own (0 to 80 ms from a fixed sequence), and
// before every fifth it sends two spoiled copies (a bad fingerprint, a
// wrong transaction). It keeps the RFC 3550 jitter of the times it took
// from each request to its answer, as its own clock saw them.
class DelayingRelay {
public:
    explicit DelayingRelay(int serverPort)
        : m_client(bound(0, 0)), m_upstream(bound(0, serverPort)), m_thread([this] { run(); }) {
        // The port it was given, never one picked beforehand that a test
        // running beside this one could take first.
        sockaddr_in address{};
        socklen_t size = sizeof address;
        ::getsockname(m_client, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~DelayingRelay() {
        m_stop = true;
        m_thread.join();
        ::close(m_client);
        ::close(m_upstream);
    }
    int port = 0;
    double jitterMs = 0;
    int spoiled = 0;

private:
    // A loopback socket on port `local`, connected to `peer` when given.
    static int bound(int local, int peer) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(local));
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address.sin_port = htons(static_cast<std::uint16_t>(peer));
        if (peer)
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }
    void run() {
        std::uint32_t seed = 12345;
        double previous = -1;
        for (int n = 0; !m_stop;) {
            pollfd in{m_client, POLLIN, 0}, up{m_upstream, POLLIN, 0};
            std::uint8_t data[1500];
            sockaddr_in from{};
            socklen_t size = sizeof from;
            if (::poll(&in, 1, 100) != 1)
                continue;
            const auto start = std::chrono::steady_clock::now();
            const ssize_t got = ::recvfrom(m_client, data, sizeof data, 0,
                                           reinterpret_cast<sockaddr*>(&from), &size);
            if (got <= 0 || ::send(m_upstream, data, got, 0) != got || ::poll(&up, 1, 1000) != 1)
                continue;
            const ssize_t answer = ::recv(m_upstream, data, sizeof data, 0);
            seed = seed * 1103515245 + 12345;
            std::this_thread::sleep_until(start + std::chrono::milliseconds((seed >> 16) % 81));
            auto reply = [&] {
                ::sendto(m_client, data, answer, 0, reinterpret_cast<sockaddr*>(&from), size);
            };
            if (++n % 5 == 0 && answer > 20)
                for (const ssize_t at : {answer - 1, ssize_t(10)}) // fingerprint, transaction
                    data[at] ^= 1, reply(), data[at] ^= 1, ++spoiled;
            reply();
            const double held =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            if (previous >= 0)
                jitterMs += (std::abs(held - previous) - jitterMs) / 16;
            previous = held;
        }
    }
    int m_client, m_upstream;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The MOS the text report gives; -1 without one.
double mosOf(const std::string& out) {
    std::smatch m;
    return std::regex_search(out, m, std::regex("\\(MOS (\\d\\.\\d+),")) ? std::stod(m[1]) : -1;
}

} // namespace

TEST(MituCheckVoice, LoopbackHasNoNatNoLossAndAnExcellentEstimate) {
    testing_stun::StunServer stun(testing_stun::StunServer::freePort());
    if (!stun.ready())
        GTEST_SKIP() << "no STUN server (coturn) here";
    Result r = runCheck("voice --server " + stun.server());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nUDP: reachable\nMapped address: "
                                                    "(127.0.0.1:\\d+) \\(local \\1\\): no NAT\n")))
        << r.out;
    EXPECT_NE(r.out.find(", 50 sent, 50 answered, 0 late, 0.0 % lost\n"), std::string::npos);
    EXPECT_GE(mosOf(r.out), 4.3) << r.out;
    // IPv6, the server from the environment, the JSON report.
    r = runCheck("voice --count 5 --json", "MITU_STUN_SERVER='" + stun.server("[::1]") + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\"mapped_address\": \"\\[::1\\]:\\d+\",\n"
                                                    ".*\n  *\"nat\": false,\n(.*\n){4}"
                                                    "  *\"loss_percent\": 0.0,")))
        << r.out;
}

// mitu-check voice `arguments` in a namespace of its own whose STUN server
// (127.0.0.1:3478) sees what nftables `rule` lets in; empty where either
// is missing here.
std::optional<Result> voiceBehind(const std::string& rule, const std::string& arguments) {
    auto ns = testing_netns::Namespace::create("stun");
    std::optional<testing_stun::StunServer> stun;
    if (!ns || !stun.emplace(3478, ns.get()).ready())
        return std::nullopt;
    const std::string inside = "ip netns exec " + ns->name();
    const std::string nft = "nft add table inet mitu && nft add chain inet mitu in '{ type filter "
                            "hook input priority 0; }' && nft add rule inet mitu in " +
                            rule;
    EXPECT_EQ(std::system((inside + " sh -c \"" + nft + "\"").c_str()), 0);
    return runCheck("voice --server 127.0.0.1 " + arguments, inside);
}

TEST(MituCheckVoice, BlockedUdpIsToldWithWhetherTcpWorks) {
    const std::optional<Result> r = voiceBehind("udp dport 3478 drop", "--count 10");
    if (!r)
        GTEST_SKIP() << "no network namespace or STUN server (coturn) here";
    EXPECT_EQ(r->status, 1);
    EXPECT_NE(r->out.find("\nUDP: no answer; TCP: reachable\nRound trips: 10 sent, 0 answered, 0 "
                          "late, 100.0 % lost\nWarning: UDP blocked; TCP reachable: calls may be "
                          "relayed with more delay\n"),
              std::string::npos)
        << r->out;
}

TEST(MituCheckVoice, OneDatagramInFiveLostLowersTheEstimate) {
    const std::optional<Result> r =
        voiceBehind("udp dport 3478 numgen random mod 5 == 0 drop", "--count 200 --interval 10");
    if (!r)
        GTEST_SKIP() << "no network namespace or STUN server (coturn) here";
    EXPECT_EQ(r->status, 1);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r->out, m, std::regex("answered, 0 late, ([\\d.]+) % lost")))
        << r->out;
    EXPECT_NEAR(std::stod(m[1]), 20, 8) << r->out; // binomial: 2.8 points either way
    EXPECT_LT(mosOf(r->out), 3.1) << r->out;       // 20 % costs R about 42
    EXPECT_NE(r->out.find("Call quality: degraded"), std::string::npos);
    EXPECT_NE(r->out.find("lost or late, above 1 %\n"), std::string::npos);
}

TEST(MituCheckVoice, JitterOfVaryingDelaysAndSpoiledAnswersIgnored) {
    const int port = testing_stun::StunServer::freePort();
    testing_stun::StunServer stun(port);
    if (!stun.ready())
        GTEST_SKIP() << "no STUN server (coturn) here";
    DelayingRelay relay(port);
    Result r = runCheck("voice --server 127.0.0.1:" + std::to_string(relay.port) +
                        " --count 30 --interval 100");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("\nJitter: ([\\d.]+) ms\n"))) << r.out;
    EXPECT_NEAR(std::stod(m[1]), relay.jitterMs, relay.jitterMs * 0.2) << r.out;
    EXPECT_NE(r.out.find("30 sent, 30 answered, 0 late, 0.0 % lost\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nIgnored: " + std::to_string(relay.spoiled) + " malformed"),
              std::string::npos)
        << r.out;
}
