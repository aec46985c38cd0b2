// Transfers and listings against two real FTP servers (pyftpdlib and
// vsftpd), each in passive and in active mode.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_test_servers.h"
#include "platform/error.h"

#include <ctime>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using ftptest::EventLog;
using ftptest::patternBytes;
using ftptest::PyFtpServer;
using ftptest::readFile;
using ftptest::runUntil;
using ftptest::VsFtpServer;
using ftptest::writeFile;

// Which server, and passive (true) or active mode.
using Setup = std::tuple<std::string, bool>;

// The server a test talks to: its port and the folder it serves.
struct ServerUnderTest {
    int port;
    fs::path root;
};

class Transfers : public ::testing::TestWithParam<Setup> {
protected:
    static void SetUpTestSuite() {
        py = new PyFtpServer();
        vs = new VsFtpServer();
    }
    static void TearDownTestSuite() {
        delete py;
        delete vs;
        py = nullptr;
        vs = nullptr;
    }
    static bool passive() { return std::get<1>(GetParam()); }

    void SetUp() override {
        char pattern[] = "/tmp/mitu-ftp-local-XXXXXX";
        local = ::mkdtemp(pattern);
        if (std::get<0>(GetParam()) == "vsftpd")
            server = std::make_unique<ServerUnderTest>(ServerUnderTest{vs->port(), vs->root()});
        else
            server = std::make_unique<ServerUnderTest>(ServerUnderTest{py->port(), py->root()});
        client = CFtpClient::create();
        client->setFtpServer("127.0.0.1");
        client->setRemotePort(server->port);
        client->setPassiveMode(passive());
        client->setTimeOut(5);
        log = std::make_unique<EventLog>(*client);
        client->OnDataTransferProgress.subscribe(
            [this](std::int64_t bytes) { progress.push_back(bytes); });
        ASSERT_EQ(complete([&] { client->Connect(); }), "OnConnect 0");
    }
    void TearDown() override {
        client.reset();
        std::error_code ignored;
        fs::remove_all(local, ignored);
    }

    std::string complete(const std::function<void()>& start, double seconds = 30) {
        const std::size_t before = log->count();
        progress.clear();
        sent.clear();
        start();
        if (!runUntil([&] { return log->count() > before; }, seconds))
            return "no completion";
        return log->last();
    }
    bool sentLine(const std::string& line) const {
        return std::find(log->protocol.begin(), log->protocol.end(), "> " + line) !=
               log->protocol.end();
    }
    bool sentVerb(const std::string& verb) const {
        for (const auto& line : log->protocol)
            if (line.rfind("> " + verb, 0) == 0)
                return true;
        return false;
    }

    static PyFtpServer* py;
    static VsFtpServer* vs;
    std::unique_ptr<ServerUnderTest> server;
    fs::path local;
    std::shared_ptr<CFtpClient> client;
    std::unique_ptr<EventLog> log;
    std::vector<std::int64_t> progress;
    std::vector<std::string> sent;
};

PyFtpServer* Transfers::py = nullptr;
VsFtpServer* Transfers::vs = nullptr;

TEST_P(Transfers, FilesOfEverySizeGoUpAndComeBackByteForByte) {
    const std::string mode = passive() ? "pasv" : "port";
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1460}, std::size_t{5000},
                             std::size_t{8192}, std::size_t{(1 << 20) + 1}}) {
        SCOPED_TRACE(size);
        const std::string bytes = patternBytes(size, static_cast<unsigned>(size));
        const std::string name = mode + "-" + std::to_string(size) + ".bin";
        writeFile(local / name, bytes);

        ASSERT_EQ(complete([&] { client->UploadFile((local / name).string(), name); }),
                  "OnUploadFile 0");
        EXPECT_TRUE(readFile(server->root / name) == bytes);
        if (size > 0) {
            EXPECT_EQ(progress.back(), static_cast<std::int64_t>(size));
        } else {
            EXPECT_TRUE(progress.empty());
        }

        const fs::path back = local / ("back-" + name);
        ASSERT_EQ(complete([&] { client->DownloadFile(name, back.string(), false); }),
                  "OnDownloadFile 0");
        EXPECT_TRUE(readFile(back) == bytes);
        EXPECT_TRUE(fs::exists(back));
        if (size > 0) {
            EXPECT_EQ(progress.back(), static_cast<std::int64_t>(size));
        }
        EXPECT_EQ(client->FtpSessionState(), 0);
        EXPECT_FALSE(client->DataTransferInProgress());
    }
    EXPECT_EQ(sentVerb("PASV"), passive());
    EXPECT_EQ(sentVerb("PORT"), !passive());
    EXPECT_TRUE(sentLine("TYPE I"));
}

TEST_P(Transfers, SixtyFourMebibytesRoundTrip) {
    const std::string bytes = patternBytes(64u << 20, 3);
    writeFile(server->root / "big.bin", bytes);
    ASSERT_EQ(
        complete([&] { client->DownloadFile("big.bin", (local / "big.bin").string(), true); }, 120),
        "OnDownloadFile 0");
    EXPECT_TRUE(readFile(local / "big.bin") == bytes);
    client->setSendBufferLenght(8192);
    ASSERT_EQ(
        complete([&] { client->UploadFile((local / "big.bin").string(), "big-up.bin"); }, 120),
        "OnUploadFile 0");
    EXPECT_TRUE(readFile(server->root / "big-up.bin") == bytes);
    EXPECT_EQ(progress.size(), (64u << 20) / 8192);
}

TEST_P(Transfers, DownloadResumesAPartialFileUnlessToldToOverwrite) {
    const std::string bytes = patternBytes(200000, 9);
    writeFile(server->root / "resume.bin", bytes);
    writeFile(local / "resume.bin", bytes.substr(0, 1000));
    ASSERT_EQ(complete([&] {
                  client->DownloadFile("resume.bin", (local / "resume.bin").string(), false);
              }),
              "OnDownloadFile 0");
    EXPECT_TRUE(sentLine("REST 1000"));
    ASSERT_FALSE(progress.empty());
    EXPECT_GT(progress.front(), 1000);
    EXPECT_EQ(progress.back(), 200000);
    EXPECT_TRUE(readFile(local / "resume.bin") == bytes);

    log->clear();
    writeFile(local / "resume.bin", std::string(1000, 'x'));
    ASSERT_EQ(complete([&] {
                  client->DownloadFile("resume.bin", (local / "resume.bin").string(), true);
              }),
              "OnDownloadFile 0");
    EXPECT_FALSE(sentVerb("REST"));
    EXPECT_LT(progress.front(), 200000);
    EXPECT_TRUE(readFile(local / "resume.bin") == bytes);
}

TEST_P(Transfers, UploadFromAStartPositionSendsOnlyTheTail) {
    const std::string bytes = patternBytes(5000, 5);
    writeFile(local / "tail.bin", bytes);
    writeFile(server->root / "tail.bin", bytes.substr(0, 3000));
    ASSERT_EQ(
        complete([&] { client->UploadFile((local / "tail.bin").string(), "tail.bin", 3000); }),
        "OnUploadFile 0");
    EXPECT_TRUE(sentLine("REST 3000"));
    EXPECT_EQ(progress, (std::vector<std::int64_t>{4460, 5000}));
    EXPECT_TRUE(readFile(server->root / "tail.bin") == bytes);
}

TEST_P(Transfers, ListingMatchesTheDirectoryOnDisk) {
    const fs::path dir = server->root / (passive() ? "list-pasv" : "list-port");
    fs::create_directory(dir);
    fs::create_directory(dir / "sub");
    writeFile(dir / "a.txt", std::string(42, 'a'));
    writeFile(dir / "my  file name.txt", std::string(1234, 'b'));
    fs::create_symlink("a.txt", dir / "link");
    ASSERT_EQ(complete([&] { client->SetCurrentDirectory(dir.filename().string()); }),
              "OnSetCurrentDirectory 0");
    client->setTransferMode(1);
    ASSERT_EQ(complete([&] { client->EnumFiles(); }), "OnEnumFiles 0");
    EXPECT_TRUE(sentLine("TYPE A")); // listings are text, whatever the transfer mode
    auto files = client->CurrentDirectoryFiles();
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Count(), 4);
    EXPECT_NE(client->CurrentDirectoryListing().find("a.txt"), std::string::npos);
    std::map<std::string, std::shared_ptr<CFtpFile>> byName;
    for (const auto& f : *files)
        byName[f->FileName()] = f;
    ASSERT_EQ(byName.count("sub"), 1u);
    EXPECT_TRUE(byName["sub"]->IsDirectory());
    ASSERT_EQ(byName.count("a.txt"), 1u);
    EXPECT_EQ(byName["a.txt"]->FileSize(), 42);
    EXPECT_FALSE(byName["a.txt"]->IsDirectory());
    ASSERT_EQ(byName.count("my  file name.txt"), 1u);
    EXPECT_EQ(byName["my  file name.txt"]->FileSize(), 1234);
    ASSERT_EQ(byName.count("link"), 1u);
    EXPECT_EQ(byName["link"]->FilePath(), "a.txt");
    EXPECT_EQ(byName["link"]->Permissions().substr(0, 1), "l");
    EXPECT_EQ(progress.back(), static_cast<std::int64_t>(client->CurrentDirectoryListing().size()));

    // The date is the file's modification time, to the minute.
    struct stat info {};
    ::stat((dir / "a.txt").c_str(), &info);
    std::tm parts{};
    localtime_r(&info.st_mtime, &parts);
    const double days = byName["a.txt"]->LastWriteTime().days;
    const double minutes = (days - static_cast<long>(days)) * 1440;
    EXPECT_NEAR(minutes, parts.tm_hour * 60 + parts.tm_min, 1.01);

    // Machine listings: MLSD where the server offers it (pyftpdlib), else
    // LIST; FEAT asked once. The same entries, MLSD's UTC times made local.
    client->setUseMachineListings(true);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(complete([&] { client->EnumFiles(); }), "OnEnumFiles 0");
    const bool mlsd = server->port == py->port();
    EXPECT_EQ(client->ListingCommand(), mlsd ? "MLSD" : "LIST");
    EXPECT_EQ(std::count(log->protocol.begin(), log->protocol.end(), "> FEAT "), 1);
    std::map<std::string, std::shared_ptr<CFtpFile>> machine;
    for (const auto& f : *client->CurrentDirectoryFiles())
        machine[f->FileName()] = f;
    ASSERT_EQ(machine.size(), 4u);
    EXPECT_TRUE(machine["sub"]->IsDirectory());
    EXPECT_EQ(machine["my  file name.txt"]->FileSize(), 1234);
    EXPECT_NEAR(machine["a.txt"]->LastWriteTime().days, days, 1 / 1440.0);
}

TEST_P(Transfers, RefusedDownloadReports16550AndKeepsNoFileOpen) {
    ASSERT_EQ(complete([&] {
                  client->DownloadFile("missing.bin", (local / "missing.bin").string(), false);
              }),
              "OnDownloadFile 1");
    EXPECT_EQ(client->LastFtpError()->Number(), 16550);
    EXPECT_EQ(client->LastFtpError()->Source(), "Brindle.CFtpClient");
    // The session goes on.
    writeFile(server->root / "after.bin", "after");
    ASSERT_EQ(
        complete([&] { client->DownloadFile("after.bin", (local / "after.bin").string(), false); }),
        "OnDownloadFile 0");
    EXPECT_EQ(readFile(local / "after.bin"), "after");
}

TEST_P(Transfers, CancelledDownloadKeepsThePartAndTheNextCallResumesIt) {
    const std::string bytes = patternBytes(16u << 20, 11);
    writeFile(server->root / "cancel.bin", bytes);
    const fs::path target = local / "cancel.bin";
    bool cancelled = false;
    client->OnDataTransferProgress.subscribe([&](std::int64_t) {
        if (!cancelled) {
            cancelled = true;
            client->CancelAsyncMethod();
        }
    });
    ASSERT_EQ(complete([&] { client->DownloadFile("cancel.bin", target.string(), false); }),
              "OnDownloadFile 3");
    EXPECT_EQ(client->FtpSessionState(), 0);
    const auto partial = fs::file_size(target);
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, bytes.size());
    cancelled = true;

    log->clear();
    ASSERT_EQ(complete([&] { client->DownloadFile("cancel.bin", target.string(), false); }, 60),
              "OnDownloadFile 0")
        << testing::PrintToString(log->protocol);
    EXPECT_TRUE(sentLine("REST " + std::to_string(partial)));
    EXPECT_TRUE(readFile(target) == bytes);
}

// A server behind a translating router names an address the client cannot
// reach in its 227 reply; the client connects to the server's own address.
TEST(TransfersBehindARouter, VsftpdNamingAnotherPassiveAddressStillServesTheDownload) {
    VsFtpServer vs("pasv_address=127.0.0.2\n");
    const std::string bytes = patternBytes(100000);
    writeFile(vs.root() / "f.bin", bytes);
    char pattern[] = "/tmp/mitu-ftp-local-XXXXXX";
    const fs::path local = ::mkdtemp(pattern);
    auto client = CFtpClient::create();
    EventLog log(*client);
    client->setFtpServer("127.0.0.1");
    client->setRemotePort(vs.port());
    client->setPassiveMode(true);
    client->setTimeOut(5);
    client->Connect();
    ASSERT_TRUE(runUntil([&] { return log.count() == 1; }));
    client->DownloadFile("f.bin", (local / "f.bin").string(), false);
    EXPECT_TRUE(runUntil([&] { return log.count() == 2; }));
    EXPECT_EQ(log.completions, (std::vector<std::string>{"OnConnect 0", "OnDownloadFile 0"}));
    EXPECT_TRUE(readFile(local / "f.bin") == bytes);
    EXPECT_EQ(client->TransferSize(), 100000);
    client.reset();
    std::error_code ignored;
    fs::remove_all(local, ignored);
}

// Over IPv6 the data connections are announced with EPSV and EPRT (the
// PASV and PORT forms cannot carry an IPv6 address).
TEST(TransfersOverIPv6, BothServersCarryFilesAndListingsInBothModes) {
    PyFtpServer py("::1");
    VsFtpServer vs("", true);
    const std::string bytes = patternBytes(300000, 6);
    for (const bool passive : {true, false}) {
        for (const std::string host : {"::1", "[::1]"}) {
            const bool onVsftpd = host == "[::1]";
            SCOPED_TRACE(host + (passive ? " passive" : " active"));
            const fs::path root = onVsftpd ? vs.root() : py.root();
            char pattern[] = "/tmp/mitu-ftp-local-XXXXXX";
            const fs::path local = ::mkdtemp(pattern);
            writeFile(local / "up.bin", bytes);
            auto client = CFtpClient::create();
            EventLog log(*client);
            client->setFtpServer(host);
            client->setRemotePort(onVsftpd ? vs.port() : py.port());
            client->setPassiveMode(passive);
            client->setTimeOut(5);
            auto step = [&](const std::function<void()>& start) {
                const std::size_t before = log.count();
                start();
                return runUntil([&] { return log.count() > before; }, 30) ? log.last()
                                                                          : "no completion";
            };
            ASSERT_EQ(step([&] { client->Connect(); }), "OnConnect 0");
            ASSERT_EQ(step([&] { client->UploadFile((local / "up.bin").string(), "six.bin"); }),
                      "OnUploadFile 0");
            EXPECT_TRUE(readFile(root / "six.bin") == bytes);
            ASSERT_EQ(step([&] { client->EnumFiles(); }), "OnEnumFiles 0");
            ASSERT_EQ(client->CurrentDirectoryFiles()->Count(), 1);
            EXPECT_EQ(client->CurrentDirectoryFiles()->Item(1)->FileName(), "six.bin");
            ASSERT_EQ(step([&] {
                          client->DownloadFile("six.bin", (local / "back.bin").string(), false);
                      }),
                      "OnDownloadFile 0");
            EXPECT_TRUE(readFile(local / "back.bin") == bytes);
            std::string verbs;
            for (const auto& line : log.protocol)
                for (const char* verb : {"> PASV", "> PORT", "> EPSV", "> EPRT"})
                    if (line.rfind(verb, 0) == 0)
                        verbs += line.substr(2, 4) + " ";
            EXPECT_EQ(verbs, passive ? "EPSV EPSV EPSV " : "EPRT EPRT EPRT ");
            client.reset();
            std::error_code ignored;
            fs::remove(root / "six.bin", ignored);
            fs::remove_all(local, ignored);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, Transfers,
                         ::testing::Combine(::testing::Values("pyftpdlib", "vsftpd"),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Setup>& info) {
                             return std::get<0>(info.param) +
                                    (std::get<1>(info.param) ? "Passive" : "Active");
                         });

} // namespace
