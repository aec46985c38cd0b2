// mitu-check bandwidth end to end, against pyftpdlib on loopback, and the
// exit status of mitu-check connection for each rating (injected probe).
#include "cli/check_commands.h"
#include "ftp_test_servers.h"
#include "run_program.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
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

TEST_F(MituCheckBandwidth, TheUploadRateIsTheOneTheServerTook) {
    // The server takes uploads at 32768 bytes a second on average: the
    // first 32768 at once, then a pause of two seconds after every second
    // 32768 (so five times that many take four to six seconds). The socket
    // buffers on loopback take the whole file at once: only the server's
    // confirmation tells when it has arrived.
    const int limit = 32768;
    ftptest::PyFtpServer throttled("127.0.0.1", limit);
    fs::create_directory(throttled.root() / "incoming");
    ftptest::writeFile(throttled.root() / "test2.txt", ftptest::patternBytes(5 * limit, 5));
    std::vector<std::string> arguments = options(throttled.port());
    arguments.push_back("--json");
    Result r = runCheck(arguments);
    const auto upload = nlohmann::json::parse(r.out, nullptr, false)["bandwidth"]["upload"];
    ASSERT_TRUE(upload.is_object()) << r.out << r.err;
    const double serverRate = limit * 8 / 1e6;
    EXPECT_NEAR(upload["mbit_per_s"].get<double>(), serverRate, serverRate * 0.3) << upload;
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

    // The JSON names the step and the error; the failed upload has no figures.
    std::vector<std::string> json = options(server.port());
    json.push_back("--json");
    r = runCheck(json);
    EXPECT_EQ(r.status, 1);
    const auto report = nlohmann::json::parse(r.out, nullptr, false)["bandwidth"];
    EXPECT_EQ(report["error"], (nlohmann::json{{"step", "upload"},
                                               {"number", 16550},
                                               {"description", "Requested action not taken."}}))
        << r.out;
    EXPECT_TRUE(report["upload"].is_null());
    EXPECT_TRUE(report["download"]["mbit_per_s"].is_number()) << r.out;

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

// A probe that answers from a script and a clock on which each answer
// takes its milliseconds and a quarter more: the statistics come from the
// clock, the window's lines from the probe.
struct ScriptedEchoes {
    explicit ScriptedEchoes(std::vector<std::int32_t> script) : answers(std::move(script)) {}
    std::vector<std::int32_t> answers;
    std::size_t next = 0;
    double now = 0;
    ConnectionTest::EchoProbe probe() {
        return [this](const std::string&, PingMod::EchoReply&) {
            const std::int32_t answer = answers.at(next++);
            now += answer >= 0 ? answer + 0.25 : 10000;
            return answer;
        };
    }
    check::Stopwatch clock() {
        return [this] { return now; };
    }
};

TEST(MituCheckConnection, ExitStatusFollowsTheRatingAndTheLosses) {
    const std::int32_t refused = -static_cast<std::int32_t>(PingMod::EchoNotPermitted);
    std::vector<std::int32_t> lateLosses(20, 9); // 3 of 20 lost after the rated five
    lateLosses[7] = lateLosses[12] = lateLosses[18] = -11010;
    const struct {
        std::vector<std::int32_t> answers;
        std::string count;
        int status;
        const char* status_line;
        const char* reason; // JSON, overall
        const char* warning;
    } cases[] = {
        {{99, 99, 99, 99, 99, 1}, "5", 0, "Excellent", nullptr, nullptr},
        {{100, 100, 100, 100, 100, 1}, "5", 0, "Good", nullptr, nullptr},
        {{160, 160, 160, 160, 160, 1}, "5", 0, "Fair", nullptr, nullptr},
        {{200, 200, 200, 200, 200, 1}, "5", 0, "Poor", nullptr, nullptr},
        {{300, 300, 300, 300, 300, 1},
         "5",
         1,
         "No Connection or too poor to use voice-conferencing",
         nullptr,
         nullptr},
        {lateLosses, "20", 1, "Excellent", "timed_out", "15 % of echo requests lost"},
        {{-11010}, "5", 1, "No Internet Connection (no answer within 10 s)", "timed_out", nullptr},
        {{-11003},
         "5",
         1,
         "No Internet Connection (the address is unreachable)",
         "unreachable",
         nullptr},
        {{-11005},
         "5",
         1,
         "No Internet Connection (the echo request was refused)",
         "refused",
         nullptr},
        {{refused},
         "5",
         3,
         "No Internet Connection (echo requests not permitted)",
         "echo_not_permitted",
         nullptr},
    };
    for (const auto& c : cases) {
        for (bool json : {false, true}) {
            ScriptedEchoes echoes(c.answers);
            std::vector<std::string> arguments{"192.0.2.1", "--count", c.count};
            if (json)
                arguments.push_back("--json");
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const int status = check::runConnection(arguments, echoes.probe(), echoes.clock());
            const std::string out = testing::internal::GetCapturedStdout();
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(status, c.status) << c.status_line;
            // Only a system that refuses echo requests says more, on stderr.
            EXPECT_EQ(err, c.status == 3 ? std::string("mitu-check: ") +
                                               ConnectionTest::EchoNotPermittedText + "\n"
                                         : std::string())
                << c.status_line;
            if (!json) {
                EXPECT_NE(out.find(std::string("Status: ") + c.status_line + "\nRound trips: "),
                          std::string::npos)
                    << out;
                EXPECT_EQ(out.find("Warning: "),
                          c.warning ? out.find(std::string("Warning: ") + c.warning + "\n")
                                    : std::string::npos)
                    << out;
                continue;
            }
            const auto report = nlohmann::json::parse(out)["connection"];
            EXPECT_EQ(report["reason"], c.reason ? nlohmann::json(c.reason) : nlohmann::json())
                << report;
            EXPECT_EQ(report["warning"], c.warning ? nlohmann::json(c.warning) : nlohmann::json())
                << report;
            // One entry per counted request: a time, or why there is none.
            ASSERT_EQ(report["requests"].size(), report["sent"].get<std::size_t>());
            for (std::size_t i = 0; i < report["requests"].size(); ++i) {
                const auto& request = report["requests"][i];
                if (c.answers[i] >= 0)
                    EXPECT_EQ(request,
                              (nlohmann::json{{"ms", c.answers[i] + 0.25}, {"reason", nullptr}}));
                else
                    EXPECT_TRUE(request["ms"].is_null() && request["reason"].is_string());
            }
        }
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
         "Round trips: min/avg/max/mdev = 10.250/25.250/40.250/11.180 ms, 5 sent, 4 received, "
         "20% loss\nWarning: 20 % of echo requests lost\n"},
        {{"192.0.2.1", "--count", "7"},
         7,
         "Round trips: min/avg/max/mdev = 10.250/35.250/60.250/17.078 ms, 7 sent, 6 received, "
         "14.29% loss\nWarning: 14.29 % of echo requests lost\n"},
        {{"--count", "2", "192.0.2.1"},
         6,
         "Round trips: min/avg/max/mdev = 10.250/10.250/10.250/0.000 ms, 2 sent, 1 received, "
         "50% loss\nWarning: 50 % of echo requests lost\n"},
    };
    for (const auto& c : cases) {
        ScriptedEchoes echoes(answers);
        testing::internal::CaptureStdout();
        EXPECT_EQ(check::runConnection(c.arguments, echoes.probe(), echoes.clock()), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("10 ms\n>10000 ms (no answer within 10 s)\n20 ms\n30 ms\n40 ms\n"
                              "Total: 10100 ms\n"
                              "Status: No Connection or too poor to use voice-conferencing\n") +
                      c.statistics);
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

TEST_F(MituCheckBandwidth, BadOptionsAreAUsageError) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "x"}, {"--server"}, {"--colour", "red"}}) {
        Result r = runCheck(args);
        EXPECT_EQ(r.status, 64) << args[0];
        EXPECT_NE(r.err.find("usage: mitu-check bandwidth"), std::string::npos);
    }
}
