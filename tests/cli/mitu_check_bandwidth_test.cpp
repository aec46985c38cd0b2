// mitu-check bandwidth end to end, against pyftpdlib on loopback, and the
// exit status of mitu-check connection for each rating (injected probe).
#include "cli/check_commands.h"
#include "ftp_test_servers.h"
#include "run_program.h"

#include <algorithm>
#include <gtest/gtest.h>

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
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
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
        EXPECT_TRUE(out.ends_with(std::string("Status: ") + c.rating + "\n")) << out;
        // Only a system that refuses echo requests says more, on stderr.
        EXPECT_EQ(err, c.status == 3 ? std::string("mitu-check: ") +
                                           ConnectionTest::EchoNotPermittedText + "\n"
                                     : std::string())
            << c.rating;
    }
}

TEST_F(MituCheckBandwidth, BadOptionsAreAUsageError) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "x"}, {"--server"}, {"--colour", "red"}}) {
        Result r = runCheck(args);
        EXPECT_EQ(r.status, 64) << args[0];
        EXPECT_NE(r.err.find("usage: mitu-check bandwidth"), std::string::npos);
    }
}
