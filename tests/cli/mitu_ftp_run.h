#pragma once

// What the mitu-ftp programs' tests share: a home of their own, the program
// runner, a scripted server's way to the transfer command, and the fixture
// with one pyftpdlib server for the suite.

#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "run_program.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace mitu_ftp_test {

namespace fs = std::filesystem;
using ftptest::PyFtpServer;

// The programs' home: the tests' own, empty but for a netrc; no password set.
struct Home {
    fs::path path = [] {
        char pattern[] = "/tmp/mitu-ftp-home-XXXXXX";
        ::setenv("HOME", ::mkdtemp(pattern), 1);
        ::unsetenv("MITU_FTP_PASSWORD");
        return fs::path(pattern);
    }();
    ~Home() { fs::remove_all(path); }
};
inline const Home home;

class MituFtp : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new PyFtpServer(); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    // The server's port and address, then `rest`.
    static std::vector<std::string> at(std::vector<std::string> rest,
                                       std::vector<std::string> options = {}) {
        options.push_back("--port");
        options.push_back(std::to_string(server->port()));
        options.push_back("127.0.0.1");
        options.insert(options.end(), rest.begin(), rest.end());
        return options;
    }
    inline static PyFtpServer* server = nullptr;
};

} // namespace mitu_ftp_test

namespace {

// Runs mitu-ftp with `args`; kills it after `seconds`.
inline Result runFtp(const std::vector<std::string>& args, int seconds = 30) {
    return runProgram(MITU_FTP_PATH, args, seconds);
}

// A scripted server's side up to the transfer command: login, TYPE and
// PASV answered, the data connection accepted.
inline bool loginAndOpenPassive(ftptest::Peer& peer, ftptest::DataChannel& data) {
    ftptest::quickLogin(peer);
    return ftptest::openPassive(peer, data);
}

} // namespace
