// mitu-check connection: run as a separate program (real echo requests,
// namespaces for the losses), and in-process on scripted echoes for the
// exit status of each rating and the statistics.

#include "checks/connection_test.h"
#include "cli/check_commands.h"
#include "run_program.h"
#include "support/netns.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

namespace {

// mitu-check with `arguments` (shell words), after `prefix`.
Result runCheck(const std::string& arguments, const std::string& prefix = "") {
    return runShell(prefix + " " + MITU_CHECK_PATH + " " + arguments);
}

void expectExcellent(const Result& r) {
    EXPECT_EQ(r.status, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        r.out, m,
        std::regex(
            "(?:localhost is (?:127\\.0\\.0\\.1|::1)\n)?(\\d+) ms\n(\\d+) ms\n(\\d+) ms\n(\\d+) "
            "ms\n(\\d+) ms\n"
            "Total: (\\d+) ms\nStatus: Excellent\nRound trips: .*, 5 sent, 5 received, 0% loss\n")))
        << r.out;
    int sum = 0;
    for (int i = 1; i <= 5; ++i)
        sum += std::stoi(m[i]);
    EXPECT_EQ(std::stoi(m[6]), sum);
}

} // namespace

TEST(MituCheckConnection, RatesLoopback) {
    expectExcellent(runCheck("connection 127.0.0.1"));
    // Without an address it asks the configured server.
    expectExcellent(runCheck("connection", "MITU_PING_ADDRESS=127.0.0.1"));
    // Over IPv6 by ICMPv6, with the same lines, rating and statistics.
    expectExcellent(runCheck("connection ::1"));
    expectExcellent(runCheck("connection '[::1]'"));
    // A name is looked up once, and the report says where the requests went.
    expectExcellent(runCheck("connection localhost"));
    EXPECT_TRUE(std::regex_search(runCheck("connection localhost --json").out,
                                  std::regex("\"resolved_address\": \"(127\\.0\\.0\\.1|::1)\"")));
}

TEST(MituCheckConnection, NoAnswerIsNoConnection) {
    auto ns = testing_netns::Namespace::create("cli");
    if (!ns)
        GTEST_SKIP() << "network namespaces are not available here";
    Result r = runCheck("connection 10.9.9.9", "ip netns exec " + ns->name());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Total: >10000 ms\nStatus: No Internet Connection (the address is "
                     "unreachable)\nRound trips: 1 sent, 0 received, 100% loss\n");
}

TEST(MituCheckConnection, LostRequestsFailTheCheckWithAWarning) {
    auto ns = testing_netns::Namespace::create("loss");
    if (!ns)
        GTEST_SKIP() << "network namespaces are not available here";
    // Every fourth echo request is lost on its way in.
    const std::string inside = "ip netns exec " + ns->name();
    if (std::system((inside + " sh -c 'nft add table ip mitu && nft \"add chain ip mitu in "
                              "{ type filter hook input priority 0; }\" && nft add rule ip mitu "
                              "in icmp type echo-request numgen inc mod 4 == 3 drop' "
                              ">/dev/null 2>&1")
                        .c_str()) != 0)
        GTEST_SKIP() << "nftables is not available here";
    Result r = runCheck("connection 127.0.0.1", inside);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("(\\d+ ms\n){3}>10000 ms \\(no answer within 10 "
                                                   "s\\)\n(.*\n){4}Warning: 20 % of echo "
                                                   "requests lost\n")))
        << r.out;
}

TEST(MituCheckConnection, WorksWithoutPrivilegeWhereTheGroupIsAdmitted) {
    auto ns = testing_netns::Namespace::create("user");
    if (!ns)
        GTEST_SKIP() << "network namespaces are not available here";
    // As nobody: no raw sockets, so only an admitted datagram socket works.
    const std::string asNobody =
        "ip netns exec " + ns->name() + " setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (std::system((asNobody + " test -x " + MITU_CHECK_PATH).c_str()) != 0)
        GTEST_SKIP() << "the build tree is not open to an unprivileged user";
    // Refused: rated as missing, with why and what an administrator can do.
    Result refused = runCheck("connection 127.0.0.1", asNobody);
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out, "Total: >10000 ms\nStatus: No Internet Connection (echo requests not "
                           "permitted)\nRound trips: 1 sent, 0 received, 100% loss\n");
    EXPECT_EQ(refused.err,
              std::string("mitu-check: ") + ConnectionTest::EchoNotPermittedText + "\n");
    ASSERT_TRUE(ns->sysctl("net.ipv4.ping_group_range", "65534 65534"));
    expectExcellent(runCheck("connection 127.0.0.1", asNobody));
}

// Answers from a script, on a clock where each answer takes its ms and a
// quarter more: the statistics come from the clock, the lines from the probe.
struct ScriptedEchoes {
    std::vector<std::int32_t> answers;
    std::size_t next = 0;
    double now = 0;
    int run(const std::vector<std::string>& arguments) {
        auto probe = [this](const std::string&, PingMod::EchoReply&) {
            const std::int32_t answer = answers.at(next++);
            now += answer >= 0 ? answer + 0.25 : 10000;
            return answer;
        };
        return check::runConnection(arguments, probe, [this] { return now; });
    }
};

TEST(MituCheckConnection, ExitStatusFollowsTheRatingAndTheLosses) {
    const std::int32_t refused = -static_cast<std::int32_t>(PingMod::EchoNotPermitted);
    std::vector<std::int32_t> late(20, 9); // 3 of 20 lost after the rated five
    late[7] = late[12] = late[18] = -11010;
    const struct {
        std::vector<std::int32_t> answers;
        const char* count;
        int status;
        std::string line, json; // the end of the status line; reason and warning
    } cases[] = {
        {{99, 99, 99, 99, 99, 1}, "5", 0, "Excellent", "nullnull"},
        {{100, 100, 100, 100, 100, 1}, "5", 0, "Good", "nullnull"},
        {{160, 160, 160, 160, 160, 1}, "5", 0, "Fair", "nullnull"},
        {{200, 200, 200, 200, 200, 1}, "5", 0, "Poor", "nullnull"},
        {{300, 300, 300, 300, 300, 1}, "5", 1, ConnectionTest::TooPoorText, "nullnull"},
        {late, "20", 1, "Excellent", R"("timed_out""15 % of echo requests lost")"},
        {{-11010}, "5", 1, "Connection (no answer within 10 s)", R"("timed_out"null)"},
        {{-11003}, "5", 1, "Connection (the address is unreachable)", R"("unreachable"null)"},
        {{-11005}, "5", 1, "Connection (the echo request was refused)", R"("refused"null)"},
        {{refused}, "5", 3, "(echo requests not permitted)", R"("echo_not_permitted"null)"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(ScriptedEchoes{c.answers}.run({"192.0.2.1", "--count", c.count}), c.status);
        const std::string out = testing::internal::GetCapturedStdout();
        // Only a system that refuses echo requests says more, on stderr.
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.status == 3
                      ? std::string("mitu-check: ") + ConnectionTest::EchoNotPermittedText + "\n"
                      : "");
        EXPECT_NE(out.find(c.line + "\nRound trips: "), std::string::npos) << out;
        EXPECT_EQ(out.ends_with("\nWarning: 15 % of echo requests lost\n"), c.count[0] == '2');
        testing::internal::CaptureStdout();
        ScriptedEchoes{c.answers}.run({"192.0.2.1", "--count", c.count, "--json"});
        const auto r = nlohmann::json::parse(testing::internal::GetCapturedStdout())["connection"];
        EXPECT_EQ(r["reason"].dump() + r["warning"].dump(), c.json);
        // One entry per counted request: the clock's time, or why there is none.
        EXPECT_EQ(r["requests"][0].dump(),
                  c.answers[0] >= 0
                      ? R"({"ms":)" + std::to_string(c.answers[0]) + R"(.25,"reason":null})"
                      : R"({"ms":null,"reason":)" + c.json.substr(0, c.json.size() - 4) + "}");
        EXPECT_EQ(r["requests"].size(), r["sent"].get<std::size_t>());
    }
}

TEST(MituCheckConnection, StatisticsCountLostRequestsAndFollowTheCount) {
    // The window's lines, total and rating stay those of its five requests;
    // the statistics cover the counted ones, a lost one as lost, in the
    // fractions of a millisecond the clock measured.
    const std::vector<std::int32_t> answers{10, -11010, 20, 30, 40, 50, 60, 70};
    const struct {
        std::vector<std::string> arguments;
        std::size_t sent; // requests that went out
        const char* statistics;
    } cases[] = {
        {{"192.0.2.1"},
         6,
         "10.250/25.250/40.250/11.180 ms, 5 sent, 4 received, 20% loss\nWarning: 20 %"},
        {{"192.0.2.1", "--count", "7"},
         7,
         "10.250/35.250/60.250/17.078 ms, 7 sent, 6 received, 14.29% loss\nWarning: 14.29 %"},
        {{"--count", "2", "192.0.2.1"},
         6,
         "10.250/10.250/10.250/0.000 ms, 2 sent, 1 received, 50% loss\nWarning: 50 %"},
    };
    for (const auto& c : cases) {
        ScriptedEchoes echoes{answers};
        testing::internal::CaptureStdout();
        EXPECT_EQ(echoes.run(c.arguments), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("10 ms\n>10000 ms (no answer within 10 s)\n20 ms\n30 ms\n40 ms\n"
                              "Total: 10100 ms\n"
                              "Status: No Connection or too poor to use voice-conferencing\n"
                              "Round trips: min/avg/max/mdev = ") +
                      c.statistics + " of echo requests lost\n");
        EXPECT_EQ(echoes.next, c.sent);
    }
    // No connection: the window stops after the first request, and so do we.
    std::size_t next = 0;
    auto lost = [&](const std::string&, PingMod::EchoReply&) { return ++next, -11010; };
    testing::internal::CaptureStdout();
    EXPECT_EQ(check::runConnection({"192.0.2.1", "--count", "9"}, lost), 1);
    EXPECT_TRUE(testing::internal::GetCapturedStdout().ends_with(
        "Status: No Internet Connection (no answer within 10 s)\n"
        "Round trips: 1 sent, 0 received, 100% loss\n"));
    EXPECT_EQ(next, 1u);
    for (auto bad : {"0", "101", "x"})
        EXPECT_EQ(check::runConnection({"--count", bad}, lost), check::ExitUsage) << bad;
}

TEST(MituCheck, UsageErrors) {
    EXPECT_EQ(runCheck("").status, 64);
    EXPECT_EQ(runCheck("bandwidthx").status, 64);
    EXPECT_EQ(runCheck("connection 127.0.0.1 127.0.0.2").status, 64);
    EXPECT_EQ(runCheck("connection --verbose").status, 64);
    // An address that can name nothing is refused before anything is sent.
    for (const char* address : {"999.1.1.1", "1.2.3", "'a b'", "'[::1'"}) {
        Result r = runCheck(std::string("connection ") + address);
        EXPECT_EQ(r.status, 64) << address;
        EXPECT_EQ(r.out, "") << address;
    }
    EXPECT_EQ(runCheck("all --address 999.1.1.1").status, 64);
    for (const char* voice :
         {"--server localhost:0", "--server '[::1'", "--count 0", "--interval 5"})
        EXPECT_EQ(runCheck(std::string("voice ") + voice).status, 64) << voice;
    Result version = runCheck("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("mitu-check \\d+\\.\\d+\\.\\d+\n")));
    Result help = runCheck("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("connection [ADDRESS]"), std::string::npos);
}
