// mitu-check bandwidth end to end, against pyftpdlib on loopback.
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
    fs::remove_all(server.root() / "incoming");
    Result r = runCheck(options(server.port()));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.starts_with("Download Excellent: ")) << r.out;
    EXPECT_NE(r.err.find("mitu-check: unable to upload file"), std::string::npos) << r.err;

    fs::remove(server.root() / "test2.txt");
    r = runCheck(options(server.port()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("mitu-check: unable to download file"), std::string::npos) << r.err;

    auto gone = std::make_unique<ftptest::PyFtpServer>();
    int closedPort = gone->port();
    gone.reset();
    r = runCheck(options(closedPort));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mitu-check: unable to connect"), std::string::npos) << r.err;
}

TEST_F(MituCheckBandwidth, BadOptionsAreAUsageError) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "x"}, {"--server"}, {"--colour", "red"}}) {
        Result r = runCheck(args);
        EXPECT_EQ(r.status, 64) << args[0];
        EXPECT_NE(r.err.find("usage: mitu-check bandwidth"), std::string::npos);
    }
}
