// mitu-ftp end to end, the transfers: ls, get and put against pyftpdlib
// (IPv4 and IPv6), listing lines it cannot read, and a get that never harms
// the local file, whatever the server does.
#include "mitu_ftp_run.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ftptest::PyFtpServer;
using mitu_ftp_test::home;
using mitu_ftp_test::MituFtp;

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

} // namespace
