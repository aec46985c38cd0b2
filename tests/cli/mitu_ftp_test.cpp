// mitu-ftp end to end: the binary against pyftpdlib and a scripted server.
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/terminal_text.h"
#include "run_program.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ftptest::PyFtpServer;

// The programs' home: the tests' own, empty but for a netrc; no password set.
const struct Home {
    fs::path path = [] {
        char pattern[] = "/tmp/mitu-ftp-home-XXXXXX";
        ::setenv("HOME", ::mkdtemp(pattern), 1);
        ::unsetenv("MITU_FTP_PASSWORD");
        return fs::path(pattern);
    }();
    ~Home() { fs::remove_all(path); }
} home;

// Runs mitu-ftp with `args`; kills it after `seconds`.
Result runFtp(const std::vector<std::string>& args, int seconds = 30) {
    return runProgram(MITU_FTP_PATH, args, seconds);
}

// A scripted server's side up to the transfer command: login, TYPE and
// PASV answered, the data connection accepted.
bool loginAndOpenPassive(ftptest::Peer& peer, ftptest::DataChannel& data) {
    ftptest::quickLogin(peer);
    peer.readLine(); // TYPE
    peer.send("200 Type set\r\n");
    peer.readLine(); // PASV
    peer.send(data.listen());
    return data.accept(std::chrono::seconds(3));
}

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
    static PyFtpServer* server;
};

PyFtpServer* MituFtp::server = nullptr;

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

TEST_F(MituFtp, LsGetAndPutInOneSession) {
    const fs::path root = server->root() / "data";
    fs::create_directory(root);
    fs::create_directory(root / "sub");
    const std::string bytes = ftptest::patternBytes(70000, 1);
    ftptest::writeFile(root / "file one.bin", bytes);
    fs::create_symlink("file one.bin", root / "link");
    char pattern[] = "/tmp/mitu-ftp-cli-local-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);

    for (bool active : {false, true}) {
        SCOPED_TRACE(active);
        fs::remove(local / "copy.bin");
        fs::remove(root / "back.bin");
        std::vector<std::string> options;
        if (active)
            options.push_back("--active");
        auto r =
            runFtp(at({"cd", "data", "ls", "get", "file one.bin", (local / "copy.bin").string(),
                       "put", (local / "copy.bin").string(), "back.bin"},
                      options));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, ""); // no progress bar when standard error is no terminal
        EXPECT_TRUE(ftptest::readFile(local / "copy.bin") == bytes);
        EXPECT_TRUE(ftptest::readFile(root / "back.bin") == bytes);

        std::istringstream out(r.out);
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);)
            lines.push_back(line);
        ASSERT_EQ(lines.size(), 6u) << r.out;
        EXPECT_EQ(lines[0], "/data");
        // TYPE SIZE YYYY-MM-DD HH:MM NAME, in the server's order.
        std::vector<std::string> entries(lines.begin() + 1, lines.begin() + 4);
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries[0].substr(0, 8), "- 70000 ");
        EXPECT_EQ(entries[0].substr(8 + 17), "file one.bin");
        // MLSD gives a link as the file it leads to.
        EXPECT_EQ(entries[1].substr(0, 8), "- 70000 ");
        EXPECT_TRUE(entries[1].ends_with(" link")) << entries[1];
        EXPECT_EQ(entries[2].substr(0, 2), "d ");
        EXPECT_TRUE(entries[2].ends_with(" sub"));
        EXPECT_EQ(entries[0][12], '-'); // the date
        EXPECT_EQ(lines[4].rfind("file one.bin -> ", 0), 0u) << lines[4];
        EXPECT_NE(lines[4].find(": 70000 bytes in "), std::string::npos) << lines[4];
        EXPECT_TRUE(lines[5].ends_with("copy.bin -> back.bin") ||
                    lines[5].find("copy.bin -> back.bin: 70000 bytes") != std::string::npos)
            << lines[5];
    }

    // get resumes a partial file; put --start sends the tail.
    ftptest::writeFile(local / "copy.bin", bytes.substr(0, 1000));
    ftptest::writeFile(root / "back.bin", bytes.substr(0, 500));
    auto r = runFtp(at({"cd", "data", "get", "file one.bin", (local / "copy.bin").string(), "put",
                        (local / "copy.bin").string(), "back.bin", "--start", "500"},
                       {"--verbose", "--quiet"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("> REST 1000\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("> REST 500\n"), std::string::npos) << r.err;
    EXPECT_TRUE(ftptest::readFile(local / "copy.bin") == bytes);
    EXPECT_TRUE(ftptest::readFile(root / "back.bin") == bytes);

    r = runFtp(at({"get", "data/file one.bin", (local / "copy.bin").string(), "--overwrite"},
                  {"--verbose"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("> REST"), std::string::npos) << r.err;

    // A failed transfer stops the session with status 1.
    r = runFtp(at({"get", "missing.bin", (local / "m.bin").string(), "ls"}, {"--verbose"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mitu-ftp: get missing.bin " + (local / "m.bin").string() + ": 550 "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("FEAT"), std::string::npos);
    r = runFtp(at({"put", (local / "missing.bin").string(), "x.bin"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mitu-ftp: put " + (local / "missing.bin").string() + " x.bin: "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(" (error 53)\n"), std::string::npos) << r.err;
    // A start past the end of the local file is refused before anything is sent.
    r = runFtp(
        at({"put", (local / "copy.bin").string(), "x.bin", "--start", "70001"}, {"--verbose"}));
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("--start 70001 is past the end"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("STOR"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(server->root() / "x.bin"));
    ASSERT_EQ(::mkfifo((local / "fifo").c_str(), 0600), 0); // no position to start from
    r = runFtp(at({"put", (local / "fifo").string(), "x.bin", "--start", "1"}));
    EXPECT_EQ(r.status, 64) << r.err;
    // --quiet still prints the listing asked for.
    r = runFtp(at({"cd", "data", "ls"}, {"--quiet"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" file one.bin\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("/data"), std::string::npos) << r.out;

    std::error_code ignored;
    fs::remove_all(local, ignored);
}

// An IPv6 host, bare or in brackets: EPSV or EPRT carry the data.
TEST(MituFtpIPv6, LsGetAndPutOnLoopback) {
    PyFtpServer server("::1");
    const std::string bytes = ftptest::patternBytes(70000, 2);
    ftptest::writeFile(server.root() / "f", bytes);
    char pattern[] = "/tmp/mitu-ftp-cli-local-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);
    for (const bool active : {false, true}) {
        SCOPED_TRACE(active);
        std::vector<std::string> args = {"--verbose",
                                         "--port",
                                         std::to_string(server.port()),
                                         active ? "[::1]" : "::1",
                                         "ls",
                                         "get",
                                         "f",
                                         (local / "f2").string(),
                                         "put",
                                         (local / "f2").string(),
                                         "f3"};
        if (active)
            args.insert(args.begin(), "--active");
        fs::remove(local / "f2");
        fs::remove(server.root() / "f3");
        auto r = runFtp(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(" f\n"), std::string::npos) << r.out;
        EXPECT_TRUE(ftptest::readFile(local / "f2") == bytes);
        EXPECT_TRUE(ftptest::readFile(server.root() / "f3") == bytes);
        EXPECT_NE(r.err.find(active ? "> EPRT |2|::1|" : "> EPSV"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\nlisting: MLSD (machine listing)\n"), std::string::npos) << r.err;
    }
    std::error_code ignored;
    fs::remove_all(local, ignored);
}

TEST_F(MituFtp, LsNamesTheFirstListingLineItCannotRead) {
    ftptest::ScriptedServer scripted([](ftptest::Peer& peer) {
        peer.send("220 Ready\r\n");
        peer.readLine();
        peer.send("230 In\r\n");
        peer.readLine();
        peer.send("257 \"/\"\r\n");
        peer.readLine(); // TYPE A
        peer.send("200 Type set\r\n");
        peer.readLine(); // PASV
        ftptest::DataChannel data;
        peer.send(data.listen());
        if (!data.accept())
            return;
        peer.readLine(); // LIST
        peer.send("150 Here it comes\r\n");
        data.send("-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 ok\r\n"
                  "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34:56 \x1b[2Jodd\r\n"
                  "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34:56 later\r\n");
        data.close();
        peer.send("226 Done\r\n");
        if (peer.readLine() == "QUIT")
            peer.send("221 Bye\r\n");
    });
    auto r = runFtp({"--port", std::to_string(scripted.port()), "127.0.0.1", "ls"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mitu-ftp: ls: Unknown listing format; first unreadable line: "
                     "\"-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34:56 \\x1b[2Jodd\" (error 16002)\n");
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

// A refused download changes no local file; special files are written as
// they are and never replaced; a failed first download leaves nothing.
TEST_F(MituFtp, GetNeverHarmsTheLocalFile) {
    const std::string bytes = ftptest::patternBytes(50000, 3);
    ftptest::writeFile(server->root() / "remote.bin", bytes);
    char pattern[] = "/tmp/mitu-ftp-cli-local-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);

    ftptest::writeFile(local / "precious", "precious data");
    auto r = runFtp(at({"get", "nope.bin", (local / "precious").string(), "--overwrite"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ftptest::readFile(local / "precious"), "precious data");

    r = runFtp(at({"get", "nope.bin", (local / "fresh").string()}));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(local / "fresh")));

    r = runFtp(at({"get", "remote.bin", local.string()}, {"--verbose"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("RETR"), std::string::npos) << r.err;

    // A download cut short keeps its part, and the error line says so.
    ftptest::ScriptedServer aborting([](ftptest::Peer& peer) {
        ftptest::DataChannel data;
        if (!loginAndOpenPassive(peer, data))
            return;
        peer.readLine(); // RETR
        peer.send("150 Go\r\n");
        data.send(std::string(1000, 'x'));
        data.close();
        peer.send("426 Transfer aborted\r\n");
        if (peer.readLine() == "QUIT")
            peer.send("221 Bye\r\n");
    });
    r = runFtp({"--port", std::to_string(aborting.port()), "127.0.0.1", "get", "r.bin",
                (local / "part").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mitu-ftp: get r.bin " + (local / "part").string() +
                         ": 426 Transfer aborted; the 1000 bytes received stay in " +
                         (local / "part").string() + " for a later get to resume (error 16426)\n");
    EXPECT_EQ(ftptest::readFile(local / "part"), std::string(1000, 'x'));
    // REST answered, then the whole file again: the part is cut back, no resume advised.
    ftptest::ScriptedServer restarting([](ftptest::Peer& peer) {
        peer.answerSize("213 5000\r\n");
        ftptest::DataChannel data;
        if (!loginAndOpenPassive(peer, data) || !peer.readLine().starts_with("REST"))
            return;
        peer.send("350 Restarting\r\n");
        peer.readLine(); // RETR
        peer.send("150 Go\r\n");
        for (const std::size_t piece : {3000, 2000})
            data.send(std::string(piece, 'y')), std::this_thread::sleep_for(200ms);
        if (peer.readLine() == "QUIT")
            peer.send("221 Bye\r\n");
    });
    r = runFtp({"--port", std::to_string(restarting.port()), "127.0.0.1", "get", "r.bin",
                (local / "part").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ignored the resume offset 1000"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("for a later get"), std::string::npos) << r.err;
    EXPECT_EQ(ftptest::readFile(local / "part"), std::string(1000, 'x'));

    // A device like /dev/null (made here, as root), a link to it, a FIFO
    // with a reader, and a link to a regular file.
    ASSERT_EQ(::mknod((local / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    fs::create_symlink(local / "null", local / "to-null");
    ASSERT_EQ(::mkfifo((local / "fifo").c_str(), 0600), 0);
    ftptest::writeFile(local / "target", "old");
    fs::create_symlink(local / "target", local / "to-target");
    std::string piped;
    std::thread reader([&] { piped = ftptest::readFile(local / "fifo"); });
    for (const char* name : {"null", "to-null", "fifo", "to-target"}) {
        const bool special = name != std::string("to-target");
        std::vector<std::string> get = {"get", "remote.bin", (local / name).string()};
        if (special)
            get.push_back("--overwrite"); // still never replaced
        r = runFtp(at(get, {"--verbose"}));
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_EQ(r.err.find("REST") == std::string::npos, special) << name << r.err;
    }
    reader.join();
    EXPECT_TRUE(fs::is_character_file(local / "null"));
    EXPECT_TRUE(fs::is_symlink(local / "to-null"));
    EXPECT_TRUE(fs::is_fifo(local / "fifo"));
    EXPECT_TRUE(piped == bytes);
    EXPECT_TRUE(fs::is_symlink(local / "to-target"));
    EXPECT_TRUE(ftptest::readFile(local / "target") == "old" + bytes.substr(3)) // resumed at 3
        << ftptest::readFile(local / "target").size();

    std::error_code ignored;
    fs::remove_all(local, ignored);
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
