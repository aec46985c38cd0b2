// mitu-ftp end to end, the session: the login dialogue, passwords from
// files, variables, netrc and the terminal, several commands in one run,
// server text on the terminal, bad command lines and time-outs.
#include "mitu_ftp_run.h"
#include "platform/terminal_text.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ftptest::PyFtpServer;
using mitu_ftp_test::home;
using mitu_ftp_test::MituFtp;

TEST_F(MituFtp, VerbosePwdShowsTheLoginDialogueAndPrintsTheDirectory) {
    auto r = runFtp(at({"pwd"}, {"--verbose"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/\n");
    for (const char* line : {"< 220 ", "> USER anonymous\n", "< 331 ", "> PASS ****\n", "< 230 ",
                             "> PWD\n", "< 257 \"/\"", "> QUIT\n", "< 221 "})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << " missing in\n" << r.err;
    EXPECT_EQ(r.err.find("mitu-user@"), std::string::npos); // the password is masked
}

TEST_F(MituFtp, RunsSeveralCommandsInOneSession) {
    const fs::path root = server->root();
    std::ofstream(root / "note.txt") << "x";
    auto r = runFtp(at({"mkdir", "work", "cd", "work", "mkdir", "b", "mv", "b", "c", "pwd", "cd",
                        "/", "mv", "note.txt", "work/n.txt"},
                       {"--user", PyFtpServer::User, "--password", PyFtpServer::Password}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/work\n/work\n/\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_directory(root / "work" / "c"));
    EXPECT_TRUE(fs::exists(root / "work" / "n.txt"));

    r = runFtp(at({"rm", "work/n.txt", "rmdir", "work/c", "rmdir", "work"}, {"--quiet"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(root / "work"));

    // --quiet keeps the data asked for and drops the status lines.
    r = runFtp(at({"cd", "/", "pwd"}, {"--quiet"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/\n");
}

TEST_F(MituFtp, StopsAtTheFirstFailedCommand) {
    auto r = runFtp(at({"rm", "missing.txt", "mkdir", "never"}, {"--verbose"}));
    EXPECT_EQ(r.status, 1);
    // One line: the command, the server's own reply, the error number.
    EXPECT_NE(r.err.find("mitu-ftp: rm missing.txt: 550 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" (error 16550)\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("MKD"), std::string::npos);
    EXPECT_NE(r.err.find("> QUIT"), std::string::npos); // still leaves politely
    EXPECT_FALSE(fs::exists(server->root() / "never"));
}

TEST_F(MituFtp, LoginFailuresExitWithStatus1) {
    auto r = runFtp(at({"pwd"}, {"--user", PyFtpServer::User, "--password", "wrong"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("mitu-ftp: connect 127.0.0.1: 530 ")) << r.err;
    EXPECT_TRUE(r.err.ends_with(" (error 16530)\n")) << r.err;

    r = runFtp({"--port", std::to_string(ftptest::closedPort()), "127.0.0.1", "pwd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("mitu-ftp: connect 127.0.0.1: ")) << r.err;
    EXPECT_TRUE(r.err.ends_with(" (error 10061)\n")) << r.err;
}

// The password's sources in order: --password-file, MITU_FTP_PASSWORD,
// ~/.netrc (refused when it holds a password others may read); the netrc
// entry for the host, else the default one, gives the login without --user.
TEST_F(MituFtp, LoginFromPasswordFileVariableAndNetrc) {
    const fs::path file = home.path / "pw", netrc = home.path / ".netrc";
    ftptest::writeFile(file, "s3cret\nsecond line\n");
    const std::string m = "machine 127.0.0.1 ", e = "login tester password s3cret\n",
                      wrong = m + "login tester password wrong\n", ok = "> USER tester\n";
    struct Row {
        std::string netrc;
        int mode;
        std::string variable;
        std::vector<std::string> options;
        std::string err;
    };
    const std::vector<Row> rows = {
        {m + e, 0600, "", {}, ok},
        {m + e, 0640, "", {}, "or others have access to it (mode 0640)"},
        {m + "login tester\n", 0644, "s3cret", {}, ok},
        {"#c\nmachine x login a password b\ndefault " + e, 0600, "", {}, ok},
        {"macdef i\n" + m + "x\n\n" + m + "login tester password \"s3cret\"", 0600, "", {}, ok},
        {m + "login x password y\n" + m + e, 0600, "", {"--user", "tester"}, ok},
        {wrong, 0600, "s3cret", {}, ok},
        {wrong, 0600, "wrong", {"--password-file", file.string()}, ok},
    };
    for (const Row& row : rows) {
        ftptest::writeFile(netrc, row.netrc);
        fs::permissions(netrc, fs::perms(row.mode));
        std::vector<std::string> options = row.options;
        options.push_back("--verbose");
        ::setenv("MITU_FTP_PASSWORD", row.variable.c_str(), 1);
        auto r = runFtp(at({"pwd"}, options));
        EXPECT_EQ(r.status, row.err == ok ? 0 : 1) << row.netrc << r.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << row.netrc << r.err;
    }
    ::unsetenv("MITU_FTP_PASSWORD");
    fs::remove(netrc);
    fs::remove(file);
}

// On a terminal the password is asked for without echo.
TEST_F(MituFtp, AsksForThePasswordOnATerminalWithoutEcho) {
    std::vector<std::string> args = at({"pwd"}, {"--user", PyFtpServer::User});
    std::vector<char*> argv{const_cast<char*>(MITU_FTP_PATH)};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0)
        ::_exit(::execv(MITU_FTP_PATH, argv.data()));
    std::string seen;
    char buffer[256];
    for (pollfd p{terminal, POLLIN, 0}; ::poll(&p, 1, 10000) == 1;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<std::size_t>(n));
        if (seen.ends_with("Password for tester@127.0.0.1: ")) {
            EXPECT_EQ(::write(terminal, "s3cret\n", 7), 7);
        }
    }
    int status = -1;
    ::kill(pid, SIGKILL); // only if it hangs
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    EXPECT_EQ(status, 0) << seen;
    EXPECT_EQ(seen.find("s3cret"), std::string::npos) << seen; // never echoed
}

// The filter escapes controls (C1 too), stray, invalid, overlong, surrogate
// and cut-short bytes; it keeps valid UTF-8.
TEST(MituFtpServerText, FilterEscapesControlsAndInvalidBytesAndKeepsUtf8) {
    const std::pair<std::string, std::string> rows[] = {
        {std::string("/a\x1b[2J\r\n\t\b\0\x7f", 12), "/a\\x1b[2J\\x0d\\x0a\\x09\\x08\\x00\\x7f"},
        {"\xc2\x9b"
         "1m \xc2\xa0\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80",
         "\\xc2\\x9b1m \xc2\xa0\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"\x9b\xff\xc0\xaf\xed\xa0\x80\xe2\x82", "\\x9b\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82"},
    };
    for (const auto& [in, out] : rows)
        EXPECT_EQ(platform::terminalText(in), out);
}

// Server text reaches the terminal only through the filter; an error line
// names the reply that decided it, never an earlier one.
TEST(MituFtpServerText, IsFilteredAndErrorsNameTheDecidingReply) {
    struct Row {
        std::vector<std::string> command, replies;
        std::string out, err;
    };
    const std::string never = (home.path / "never").string(),
                      pasv = "227 Entering Passive Mode (1,2,3)";
    const std::vector<Row> rows = {
        {{"rm", "f"}, {"550 \x1b[2J\bgone\r\n"}, "", "rm f: 550 \\x1b[2J\\x08gone (error 16550)\n"},
        {{"pwd"},
         {"257 \"/\x1b]0;t\a\xc2\x9b\xff\xc3\xbc\"\r\n"},
         "/\\x1b]0;t\\x07\\xc2\\x9b\\xff\xc3\xbc\n",
         "< 257"},
        {{"pwd"}, {"257 no quotes\r\n"}, "", "response: 257 no quotes (error 16001)\n"},
        {{"get", "r", never}, {"200 Type set\r\n", pasv + "\r\n"}, "", pasv + " (error 16005)\n"},
    };
    for (const Row& row : rows) {
        ftptest::ScriptedServer server([&](ftptest::Peer& peer) {
            ftptest::quickLogin(peer);
            for (const auto& reply : row.replies) {
                peer.readLine();
                peer.send(reply);
            }
            if (peer.readLine() == "QUIT")
                peer.send("221 Bye\r\n");
        });
        std::vector<std::string> args = {"--verbose", "--port", std::to_string(server.port()),
                                         "127.0.0.1"};
        args.insert(args.end(), row.command.begin(), row.command.end());
        auto r = runFtp(args);
        EXPECT_EQ(r.out, row.out);
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_EQ((r.out + r.err).find_first_of("\x1b\a\x9b"), std::string::npos) << r.err;
    }
}

TEST(MituFtpUsage, BadCommandLinesExitWith64) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"127.0.0.1"},
        {"127.0.0.1", "dance"},
        {"127.0.0.1", "cd"},
        {"127.0.0.1", "mv", "a"},
        {"--port", "0", "127.0.0.1", "pwd"},
        {"--port", "21x", "127.0.0.1", "pwd"},
        {"--buffer", "100", "127.0.0.1", "pwd"},
        {"--timeout", "0", "127.0.0.1", "pwd"},
        {"--bogus", "127.0.0.1", "pwd"},
        {"127.0.0.1", "pwd", "--overwrite"},
        {"127.0.0.1", "get", "a"},
        {"127.0.0.1", "put", "a", "b", "--start", "-1"},
        {"127.0.0.1", "put", "a", "b", "--start", "x"},
        {"127.0.0.1", "put", "a", "b", "--overwrite"},
        {"--cacert", "c.pem", "127.0.0.1", "pwd"}, // only with --tls
        {"--insecure", "127.0.0.1", "pwd"},
        {"--tls", "--cacert", "127.0.0.1", "pwd"},
    };
    for (const auto& args : cases) {
        auto r = runFtp(args);
        EXPECT_EQ(r.status, 64) << testing::PrintToString(args);
        EXPECT_NE(r.err.find("--help"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
    auto r = runFtp({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: mitu-ftp"), std::string::npos);
    EXPECT_NE(r.out.find("mv OLD NEW"), std::string::npos);
    EXPECT_NE(r.out.find("put LOCAL REMOTE [--start N]"), std::string::npos);
}

TEST(MituFtpTimeout, SilentServerExitsWith2) {
    ftptest::ScriptedServer server([](ftptest::Peer& peer) {
        peer.send("220 Ready\r\n");
        peer.readLine();
        peer.send("230 In\r\n");
        peer.readLine();
        peer.send("257 \"/\"\r\n");
        peer.readLine(); // CWD: never answered
    });
    auto started = std::chrono::steady_clock::now();
    auto r = runFtp({"--timeout", "1", "--port", std::to_string(server.port()), "127.0.0.1", "cd",
                     "slow", "pwd"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("mitu-ftp: cd slow: no answer from the server within 1 s"),
              std::string::npos)
        << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
    auto lines = server.received();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "PWD"), 1); // the login's, not the command's
}

// The server dies in the middle of an upload: at once, or after the tool
// has sent its QUIT. The tool reports the failure and is gone within its
// time-out either way.
TEST(MituFtpTimeout, ServerDyingMidUploadEndsWithinTheTimeout) {
    char pattern[] = "/tmp/mitu-ftp-cli-dies-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);
    ftptest::writeFile(local / "up.bin", ftptest::patternBytes(4 << 20));
    for (const bool afterQuit : {false, true}) {
        SCOPED_TRACE(afterQuit ? "dies after QUIT" : "dies at once");
        ftptest::ScriptedServer server([afterQuit](ftptest::Peer& peer) {
            ftptest::DataChannel data;
            if (!loginAndOpenPassive(peer, data))
                return;
            peer.readLine(); // STOR
            peer.send("150 Go ahead\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            data.reset();
            if (afterQuit)
                peer.readLine();
            peer.reset();
        });
        const auto started = std::chrono::steady_clock::now();
        auto r = runFtp({"--timeout", "3", "--port", std::to_string(server.port()), "127.0.0.1",
                         "put", (local / "up.bin").string(), "up.bin"},
                        10);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("mitu-ftp: put " + (local / "up.bin").string() + " up.bin: "),
                  std::string::npos)
            << r.err;
        // The upload may wait its time-out for the server's word on the lost
        // data connection; nothing after that may wait.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4500));
    }
    std::error_code ignored;
    fs::remove_all(local, ignored);
}

} // namespace
