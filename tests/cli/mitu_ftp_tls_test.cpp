// mitu-ftp over explicit TLS: against a vsftpd that requires it, and
// against scripted servers that forge, cut or end the protected streams.
#include "ftp_test_servers.h"
#include "ftp_test_tls.h"
#include "mitu_ftp_run.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// --- explicit FTP over TLS against a vsftpd that requires it ---------------------------

class MituFtpTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certificate = new ftptest::TestCertificate();
        server = new ftptest::VsFtpServer(certificate->vsftpdConfig());
    }
    static void TearDownTestSuite() {
        delete server;
        delete certificate;
        server = nullptr;
        certificate = nullptr;
    }
    // --tls trusting `cert`, the server's port and `host`, then `rest`.
    static std::vector<std::string> tls(const ftptest::VsFtpServer& at, const fs::path& cert,
                                        std::vector<std::string> rest,
                                        std::vector<std::string> options = {},
                                        const std::string& host = "localhost") {
        for (const std::string& o : {std::string("--tls"), std::string("--cacert"), cert.string(),
                                     std::string("--port"), std::to_string(at.port()), host})
            options.push_back(o);
        options.insert(options.end(), rest.begin(), rest.end());
        return options;
    }
    static ftptest::TestCertificate* certificate;
    static ftptest::VsFtpServer* server;
};

ftptest::TestCertificate* MituFtpTls::certificate = nullptr;
ftptest::VsFtpServer* MituFtpTls::server = nullptr;

// Login, ls, get and put over TLS with the session reuse the server
// requires, in both modes, by name and by address (IPv4 and IPv6): every
// file byte for byte.
TEST_F(MituFtpTls, TransfersAreByteIdenticalInBothModes) {
    char pattern[] = "/tmp/mitu-ftp-cli-tls-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);
    const fs::path root = server->root();
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"e0", 0}, {"e1", 1}, {"m1", 1 << 20}, {"m64", std::size_t(64) << 20}};
    for (const auto& [name, size] : files)
        ftptest::writeFile(root / name, ftptest::patternBytes(size, 7));
    for (const bool active : {false, true}) {
        SCOPED_TRACE(active ? "active" : "passive");
        const std::string mode = active ? "a" : "p";
        std::vector<std::string> commands = {"ls"};
        for (const auto& [name, size] : files) {
            for (const std::string& c :
                 {std::string("get"), name, (local / (name + mode)).string(), std::string("put"),
                  (local / (name + mode)).string(), name + mode + ".up"})
                commands.push_back(c);
        }
        std::vector<std::string> options = {"--quiet"};
        if (active)
            options.push_back("--active");
        else
            options.push_back("--verbose");
        auto r = runFtp(tls(*server, certificate->cert(), commands, options,
                            active ? "127.0.0.1" : "localhost"),
                        120);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(" 67108864 "), std::string::npos) << r.out;
        if (!active) {
            for (const char* line :
                 {"> AUTH TLS\n", "< 234 ", "> USER anonymous\n", "> PBSZ 0\n", "> PROT P\n",
                  "TLS: TLSv1.", "> FEAT\n", "> LIST\n", "listing: LIST (server's own format)\n"})
                EXPECT_NE(r.err.find(line), std::string::npos) << line << " missing in\n" << r.err;
            EXPECT_LT(r.err.find("> AUTH TLS"), r.err.find("> USER"));
        }
        for (const auto& [name, size] : files) {
            const std::string bytes = ftptest::patternBytes(size, 7);
            EXPECT_TRUE(ftptest::readFile(local / (name + mode)) == bytes) << name;
            EXPECT_TRUE(ftptest::readFile(root / (name + mode + ".up")) == bytes) << name;
        }
    }
    // Over IPv6 the address in brackets is checked bare against the certificate.
    ftptest::VsFtpServer server6(certificate->vsftpdConfig(), true);
    ftptest::writeFile(server6.root() / "f", "over IPv6");
    auto r = runFtp(tls(server6, certificate->cert(), {"get", "f", (local / "f6").string()},
                        {"--quiet"}, "[::1]"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ftptest::readFile(local / "f6"), "over IPv6");
    std::error_code ignored;
    fs::remove_all(local, ignored);
}

// The same server refuses a plain login; a certificate that is not
// trusted, names another host or has expired ends the connect with the
// reason, unless --insecure, which warns.
TEST_F(MituFtpTls, RefusalsCarryTheirReason) {
    auto r = runFtp({"--port", std::to_string(server->port()), "localhost", "pwd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mitu-ftp: connect localhost: 530 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("encryption"), std::string::npos) << r.err; // the server's own words

    r = runFtp({"--tls", "--port", std::to_string(server->port()), "localhost", "pwd"});
    EXPECT_EQ(r.status, 1); // the system's store does not know the test certificate
    EXPECT_NE(r.err.find("TLS: self-signed certificate (error 16013)"), std::string::npos) << r.err;

    ftptest::TestCertificate other(ftptest::TestCertificate::Kind::OtherName);
    ftptest::VsFtpServer otherServer(other.vsftpdConfig());
    for (const char* host : {"localhost", "127.0.0.1"}) {
        r = runFtp(tls(otherServer, other.cert(), {"pwd"}, {}, host));
        EXPECT_EQ(r.status, 1) << host;
        EXPECT_TRUE(
            r.err.ends_with(std::string(host[0] == 'l' ? "TLS: hostname" : "TLS: IP address") +
                            " mismatch (error 16013)\n"))
            << r.err;
    }
    r = runFtp(tls(otherServer, other.cert(), {"pwd"}, {"--insecure", "--quiet"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("mitu-ftp: warning: --insecure"), std::string::npos) << r.err;

    // A certificate that names the host only in its common name is not
    // for that host: names are checked against subjectAltName alone.
    ftptest::TestCertificate commonName(ftptest::TestCertificate::Kind::CommonNameOnly);
    ftptest::VsFtpServer commonNameServer(commonName.vsftpdConfig());
    r = runFtp(tls(commonNameServer, commonName.cert(), {"pwd"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("TLS: hostname mismatch (error 16013)\n")) << r.err;

    ftptest::TestCertificate expired(ftptest::TestCertificate::Kind::Expired);
    ftptest::VsFtpServer expiredServer(expired.vsftpdConfig());
    r = runFtp(tls(expiredServer, expired.cert(), {"pwd"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("TLS: certificate has expired (error 16013)\n")) << r.err;
}

// A server that does not take AUTH TLS ends the connect: no plain-text
// fall-back, not even a QUIT after the refusal.
TEST(MituFtpTlsRefused, AuthTlsAnsweredWith500EndsWithStatus1) {
    ftptest::ScriptedServer server([](ftptest::Peer& peer) {
        peer.send("220 Ready\r\n");
        peer.readLine(); // AUTH TLS
        peer.send("500 AUTH not understood\r\n");
        peer.waitForClose();
    });
    auto r = runFtp(
        {"--tls", "--insecure", "--port", std::to_string(server.port()), "127.0.0.1", "pwd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mitu-ftp: connect 127.0.0.1: The server refused TLS: 500 AUTH not "
                         "understood (error 16012)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(server.received(), std::vector<std::string>{"AUTH TLS"});
}

// --- scripted servers over TLS ------------------------------------------------------

// The server's side of a protected login: AUTH TLS answered with
// `authReply`, then USER, PASS, PBSZ, PROT and PWD inside TLS.
bool tlsLogin(ftptest::Peer& peer, const ftptest::ServerTls& tls, int tickets = 2,
              const std::string& authReply = "234 Go ahead\r\n") {
    peer.send("220 Ready\r\n");
    peer.readLine(); // AUTH TLS
    peer.send(authReply);
    if (!peer.startTls(tls, tickets))
        return false;
    for (const char* reply : {"331 Password\r\n", "230 In\r\n", "200 PBSZ=0\r\n",
                              "200 Protected\r\n", "257 \"/\"\r\n"}) {
        if (peer.readLine().empty())
            return false;
        peer.send(reply);
    }
    return true;
}

// TYPE and PASV answered, the data connection accepted and protected
// (`tickets` TLS 1.3 tickets given on it), the transfer command read.
bool openProtectedData(ftptest::Peer& peer, ftptest::DataChannel& data,
                       const ftptest::ServerTls& tls, int tickets = 0) {
    peer.readLine(); // TYPE
    peer.send("200 Type set\r\n");
    peer.readLine(); // PASV, after a SIZE the peer refuses by itself
    peer.send(data.listen());
    return data.accept(3s) && data.startTls(tls, tickets) && !peer.readLine().empty();
}

// Answers what the tool sends after the script's part, up to its QUIT.
void serveRest(ftptest::Peer& peer) {
    for (std::string line; !(line = peer.readLine()).empty();) {
        if (line == "QUIT") {
            peer.send("221 Bye\r\n");
            return;
        }
        peer.send(line == "PWD" ? "257 \"/\"\r\n" : "502 Not here\r\n");
    }
}

// A protected download of `bytes`, its data stream ended by `end`, before
// the 226 or (`confirmFirst`) after it.
void download(ftptest::Peer& peer, const ftptest::ServerTls& tls, const std::string& bytes,
              const std::function<void(ftptest::DataChannel&)>& end, bool confirmFirst = false) {
    ftptest::DataChannel data;
    if (!tlsLogin(peer, tls) || !openProtectedData(peer, data, tls))
        return;
    peer.send("150 Here it comes\r\n");
    data.send(bytes);
    if (confirmFirst)
        peer.send("226 Done\r\n");
    end(data);
    if (!confirmFirst)
        peer.send("226 Done\r\n");
    serveRest(peer);
}

// What a hostile or careless TLS server does, and what the tool makes of
// it: a clear-text reply is never taken for a protected one, a data stream
// is whole only with close_notify, close_notify ends it at once whatever
// TCP does, and a TLS 1.3 ticket serves one data connection only.
TEST(MituFtpTlsScripted, ForgedCutAndEndedStreams) {
    const ftptest::TestCertificate certificate;
    const ftptest::ServerTls tls(certificate);
    const std::string file = ftptest::patternBytes(200000, 3);
    using Script = std::function<void(ftptest::Peer&)>;
    struct Row {
        const char* name;
        Script script;
        std::vector<std::string> command; // "LOCAL" stands for the local file
        int status;
        std::string says;   // in the tool's standard error
        std::string local;  // the local file afterwards, if checked
        bool quick = false; // over well within a second, with no wait for a close
    };
    const std::vector<Row> rows = {
        {"a reply injected behind 234 is dropped; the login happens inside TLS",
         [&](ftptest::Peer& peer) {
             if (tlsLogin(peer, tls, 2, "234 Go ahead\r\n230 Logged in\r\n"))
                 serveRest(peer);
         },
         {"pwd"},
         0,
         "< (15 bytes that came before the TLS handshake dropped)\n",
         ""},
        {"a clear-text reply after 234 ends the connect",
         [&](ftptest::Peer& peer) {
             peer.send("220 Ready\r\n");
             peer.readLine(); // AUTH TLS
             peer.send("234 Go ahead\r\n", 300ms);
             peer.send("230 Logged in\r\n");
             peer.waitForClose();
         },
         {"pwd"},
         1,
         "TLS: the server sent unexpected data before the TLS handshake (error 16013)",
         "",
         true},
        {"a download cut by a bare TCP end fails, 226 or not",
         [&](ftptest::Peer& peer) {
             download(peer, tls, file.substr(0, 100000), [](auto& data) { data.close(); });
         },
         {"get", "f", "LOCAL"},
         1,
         "TLS: the server ended the TLS stream without close_notify; the transfer may be "
         "incomplete",
         ""},
        {"a listing cut by a bare TCP end fails",
         [&](ftptest::Peer& peer) {
             ftptest::DataChannel data;
             if (!tlsLogin(peer, tls) || !openProtectedData(peer, data, tls))
                 return;
             peer.send("150 Here it comes\r\n");
             data.send("-rw-r--r-- 1 u g 5 Jan 01 00:00 a\r\n");
             data.close();
             peer.send("226 Done\r\n");
             serveRest(peer);
         },
         {"ls"},
         1,
         "without close_notify; the transfer may be incomplete (error 16013)",
         ""},
        {"a machine listing comes protected like any other",
         [&](ftptest::Peer& peer) {
             ftptest::DataChannel data;
             peer.answerFeat("211-Features:\r\n MLST type*;size*;\r\n211 End\r\n");
             if (!tlsLogin(peer, tls) || !openProtectedData(peer, data, tls))
                 return;
             peer.send("150 Here it comes\r\n");
             data.send("type=file;size=5; a\r\n");
             data.closeNotify();
             peer.send("226 Done\r\n");
             serveRest(peer);
         },
         {"ls"},
         0,
         "> MLSD\n",
         ""},
        {"close_notify with TCP held open ends the download at once",
         [&](ftptest::Peer& peer) {
             download(peer, tls, file, [](auto& data) { data.closeNotify(); });
         },
         {"get", "f", "LOCAL"},
         0,
         "",
         file},
        {"a reset after 226 and close_notify leaves a complete download",
         [&](ftptest::Peer& peer) {
             download(
                 peer, tls, file,
                 [](auto& data) {
                     data.closeNotify();
                     std::this_thread::sleep_for(200ms);
                     data.reset();
                 },
                 true);
         },
         {"get", "f", "LOCAL"},
         0,
         "",
         file},
        {"with its one ticket used, the second data connection does a full handshake",
         [&](ftptest::Peer& peer) {
             if (!tlsLogin(peer, tls, 1))
                 return;
             for (int i = 0; i < 2; ++i) {
                 ftptest::DataChannel data;
                 if (!openProtectedData(peer, data, tls))
                     return;
                 if (!data.resumed()) { // as a server that requires reuse answers
                     data.close();
                     std::this_thread::sleep_for(200ms);
                     peer.send("522 SSL connection failed: session reuse required\r\n");
                     break;
                 }
                 peer.send("150 Here it comes\r\n");
                 data.send("one");
                 data.closeNotify();
                 data.close();
                 peer.send("226 Done\r\n");
             }
             serveRest(peer);
         },
         {"get", "f", "LOCAL", "get", "g", "LOCAL2"},
         1,
         "TLS: the server ended the TLS stream without close_notify; the transfer may be "
         "incomplete; the server answered: 522 SSL connection failed: session reuse required "
         "(error 16013)",
         "one"},
    };
    char pattern[] = "/tmp/mitu-ftp-tls-scripted-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(local / "f");
        fs::remove(local / "g");
        ftptest::ScriptedServer server(row.script);
        std::vector<std::string> args = {"--tls",
                                         "--cacert",
                                         certificate.cert().string(),
                                         "--port",
                                         std::to_string(server.port()),
                                         "--timeout",
                                         "3",
                                         "--verbose",
                                         "localhost"};
        for (const std::string& word : row.command)
            args.push_back(word == "LOCAL"    ? (local / "f").string()
                           : word == "LOCAL2" ? (local / "g").string()
                                              : word);
        const auto started = std::chrono::steady_clock::now();
        auto r = runFtp(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        if (row.status == 1) { // every failure here is the TLS layer's
            EXPECT_NE(r.err.find("(error 16013)\n"), std::string::npos) << r.err;
        }
        if (row.status != 0 && row.command.size() == 1) {
            EXPECT_EQ(r.out, "");
        }
        if (!row.local.empty()) {
            EXPECT_TRUE(ftptest::readFile(local / "f") == row.local);
        }
        if (row.quick) { // no grace waited out for a close that cannot come
            EXPECT_LT(std::chrono::steady_clock::now() - started, 1900ms);
        }
    }
    std::error_code ignored;
    fs::remove_all(local, ignored);
}

} // namespace
