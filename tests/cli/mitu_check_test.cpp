// mitu-check connection, run as a separate program.

#include "checks/connection_test.h"
#include "support/netns.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs mitu-check with `arguments` (shell words), capturing standard output
// and standard error.
Result check(const std::string& arguments, const std::string& prefix = "") {
    char errPath[] = "/tmp/mitu-check-err-XXXXXX";
    const int errFile = ::mkstemp(errPath);
    if (errFile < 0)
        return {};
    ::close(errFile);
    std::string command =
        prefix + " " + MITU_CHECK_PATH + " " + arguments + " 2>" + std::string(errPath);
    Result result;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 256> chunk;
        while (std::fgets(chunk.data(), chunk.size(), pipe))
            result.out += chunk.data();
        int raw = ::pclose(pipe);
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::ifstream err(errPath);
    result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    ::unlink(errPath);
    return result;
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
    expectExcellent(check("connection 127.0.0.1"));
    // Without an address it asks the configured server.
    expectExcellent(check("connection", "MITU_PING_ADDRESS=127.0.0.1"));
    // Over IPv6 by ICMPv6, with the same lines, rating and statistics.
    expectExcellent(check("connection ::1"));
    expectExcellent(check("connection '[::1]'"));
    // A name is looked up once, and the report says where the requests went.
    expectExcellent(check("connection localhost"));
    EXPECT_TRUE(std::regex_search(check("connection localhost --json").out,
                                  std::regex("\"resolved_address\": \"(127\\.0\\.0\\.1|::1)\"")));
}

TEST(MituCheckConnection, NoAnswerIsNoConnection) {
    auto ns = testing_netns::Namespace::create("cli");
    if (!ns)
        GTEST_SKIP() << "network namespaces are not available here";
    Result r = check("connection 10.9.9.9", "ip netns exec " + ns->name());
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
    Result r = check("connection 127.0.0.1", inside);
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
    Result refused = check("connection 127.0.0.1", asNobody);
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out, "Total: >10000 ms\nStatus: No Internet Connection (echo requests not "
                           "permitted)\nRound trips: 1 sent, 0 received, 100% loss\n");
    EXPECT_EQ(refused.err,
              std::string("mitu-check: ") + ConnectionTest::EchoNotPermittedText + "\n");
    ASSERT_TRUE(ns->sysctl("net.ipv4.ping_group_range", "65534 65534"));
    expectExcellent(check("connection 127.0.0.1", asNobody));
}

TEST(MituCheck, UsageErrors) {
    EXPECT_EQ(check("").status, 64);
    EXPECT_EQ(check("bandwidthx").status, 64);
    EXPECT_EQ(check("connection 127.0.0.1 127.0.0.2").status, 64);
    EXPECT_EQ(check("connection --verbose").status, 64);
    // An address that can name nothing is refused before anything is sent.
    for (const char* address : {"999.1.1.1", "1.2.3", "'a b'", "'[::1'"}) {
        Result r = check(std::string("connection ") + address);
        EXPECT_EQ(r.status, 64) << address;
        EXPECT_EQ(r.out, "") << address;
    }
    EXPECT_EQ(check("all --address 999.1.1.1").status, 64);
    Result version = check("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("mitu-check \\d+\\.\\d+\\.\\d+\n")));
    Result help = check("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("connection [ADDRESS]"), std::string::npos);
}
