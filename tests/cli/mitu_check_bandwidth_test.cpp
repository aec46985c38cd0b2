// mitu-check bandwidth end to end, against pyftpdlib on loopback, and the
// exit status of mitu-check connection for each rating (injected probe).
#include "cli/check_commands.h"
#include "ftp_test_servers.h"
#include "run_program.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>

namespace {

namespace fs = std::filesystem;

Result runCheck(const std::vector<std::string>& args) {
    std::vector<std::string> all{"bandwidth"};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(MITU_CHECK_PATH, all);
}

class MituCheckBandwidth : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/mitu-check-bandwidth-XXXXXX";
        folder = ::mkdtemp(pattern);
        fs::create_directory(server.root() / "incoming");
        ftptest::writeFile(server.root() / "test2.txt", ftptest::patternBytes(300000, 5));
    }
    void TearDown() override { fs::remove_all(folder); }

    std::vector<std::string> options(int port) {
        return {"--server",  "127.0.0.1",  "--port",         std::to_string(port), "--user",
                "anonymous", "--password", "me@example.com", "--folder",           folder.string()};
    }

    ftptest::PyFtpServer server;
    fs::path folder;
};

} // namespace

TEST_F(MituCheckBandwidth, PrintsBothVerdictsAndKeepsTheFile) {
    Result r = runCheck(options(server.port()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("Download Excellent: ")) << r.out;
    EXPECT_NE(r.out.find("\nUpload Excellent: "), std::string::npos) << r.out;
    // Throughput beside the verdicts, from the transfer's clock.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nDownload: [0-9.]+ Mbit/s \\(300000 bytes "
                                                    "in [0-9.]+ s\\)\nUpload: [0-9.]+ Mbit/s "
                                                    "\\(300000 bytes in [0-9.]+ s\\)\n$")))
        << r.out;
    EXPECT_TRUE(ftptest::readFile(folder / "test2.txt") ==
                ftptest::readFile(server.root() / "test2.txt"));
    EXPECT_TRUE(fs::exists(server.root() / "incoming" / "test2up.txt"));
}

TEST_F(MituCheckBandwidth, FailuresSayWhichStepAndExitOne) {
    // Each failure names the step and, on the same line, the client's error.
    fs::remove_all(server.root() / "incoming");
    Result r = runCheck(options(server.port()));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.starts_with("Download Excellent: ")) << r.out;
    EXPECT_NE(r.err.find("mitu-check: unable to upload file: error 16550: "
                         "Requested action not taken.\n"),
              std::string::npos)
        << r.err;

    fs::remove(server.root() / "test2.txt");
    r = runCheck(options(server.port()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("mitu-check: unable to download file: error 16550: "
                         "Requested action not taken.\n"),
              std::string::npos)
        << r.err;

    auto gone = std::make_unique<ftptest::PyFtpServer>();
    int closedPort = gone->port();
    gone.reset();
    r = runCheck(options(closedPort));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mitu-check: unable to connect: error 10061: "), std::string::npos)
        << r.err;
}

TEST(MituCheckConnection, ExitStatusFollowsTheRating) {
    const std::int32_t refused = -static_cast<std::int32_t>(PingMod::EchoNotPermitted);
    const struct {
        std::vector<std::int32_t> answers;
        int status;
        const char* rating;
    } cases[] = {
        {{99, 99, 99, 99, 99, 1}, 0, "Excellent"},
        {{100, 100, 100, 100, 100, 1}, 0, "Good"},
        {{160, 160, 160, 160, 160, 1}, 0, "Fair"},
        {{200, 200, 200, 200, 200, 1}, 0, "Poor"},
        {{300, 300, 300, 300, 300, 1}, 1, "No Connection or too poor to use voice-conferencing"},
        {{-11010}, 1, "No Internet Connection"},
        {{refused}, 3, "No Internet Connection"},
    };
    for (const auto& c : cases) {
        std::size_t next = 0;
        auto probe = [&](const std::string&, PingMod::EchoReply&) { return c.answers.at(next++); };
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = check::runConnection({"192.0.2.1"}, probe);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, c.status) << c.rating;
        EXPECT_NE(out.find(std::string("Status: ") + c.rating + "\nRound trips: "),
                  std::string::npos)
            << out;
        // Only a system that refuses echo requests says more, on stderr.
        EXPECT_EQ(err, c.status == 3 ? std::string("mitu-check: ") +
                                           ConnectionTest::EchoNotPermittedText + "\n"
                                     : std::string())
            << c.rating;
    }
}

TEST(MituCheckConnection, StatisticsCountLostRequestsAndFollowTheCount) {
    // The window's lines, total and rating stay those of its five requests;
    // the statistics cover the counted ones, a lost one as lost.
    const std::vector<std::int32_t> answers{10, -11010, 20, 30, 40, 50, 60, 70};
    const struct {
        std::vector<std::string> arguments;
        std::size_t sent; // requests that went out
        const char* statistics;
    } cases[] = {
        {{"192.0.2.1"},
         6,
         "Round trips: min/avg/max/mdev = 10.000/25.000/40.000/11.180 ms, 5 sent, 4 received, "
         "20% loss\n"},
        {{"192.0.2.1", "--count", "7"},
         7,
         "Round trips: min/avg/max/mdev = 10.000/35.000/60.000/17.078 ms, 7 sent, 6 received, "
         "14.29% loss\n"},
        {{"--count", "2", "192.0.2.1"},
         6,
         "Round trips: min/avg/max/mdev = 10.000/10.000/10.000/0.000 ms, 2 sent, 1 received, "
         "50% loss\n"},
    };
    for (const auto& c : cases) {
        std::size_t next = 0;
        auto probe = [&](const std::string&, PingMod::EchoReply&) { return answers.at(next++); };
        testing::internal::CaptureStdout();
        EXPECT_EQ(check::runConnection(c.arguments, probe), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("10 ms\n>10000 ms\n20 ms\n30 ms\n40 ms\nTotal: 10100 ms\n"
                              "Status: No Connection or too poor to use voice-conferencing\n") +
                      c.statistics);
        EXPECT_EQ(next, c.sent);
    }
    // No connection: the window stops after the first request, and so do we.
    std::size_t next = 0;
    auto lost = [&](const std::string&, PingMod::EchoReply&) { return ++next, -11010; };
    testing::internal::CaptureStdout();
    EXPECT_EQ(check::runConnection({"192.0.2.1", "--count", "9"}, lost), 1);
    EXPECT_TRUE(testing::internal::GetCapturedStdout().ends_with(
        "Status: No Internet Connection\nRound trips: 1 sent, 0 received, 100% loss\n"));
    EXPECT_EQ(next, 1u);
    for (auto bad : {"0", "101", "x"})
        EXPECT_EQ(check::runConnection({"--count", bad}, lost), check::ExitUsage) << bad;
}

TEST_F(MituCheckBandwidth, BadOptionsAreAUsageError) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "x"}, {"--server"}, {"--colour", "red"}}) {
        Result r = runCheck(args);
        EXPECT_EQ(r.status, 64) << args[0];
        EXPECT_NE(r.err.find("usage: mitu-check bandwidth"), std::string::npos);
    }
}
