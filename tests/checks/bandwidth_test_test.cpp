// The upload and download test against real FTP servers on loopback, with
// the window's clocks replaced so that the verdicts come out of chosen
// tick counts.
#include "checks/bandwidth_test.h"

#include "ftp_test_servers.h"
#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using ftptest::patternBytes;
using ftptest::PyFtpServer;
using ftptest::readFile;
using ftptest::writeFile;

// The window's boxes and button, as the test leaves them.
class RecordingControls : public BandwidthTest::Controls {
public:
    std::string results() override { return text2; }
    void setResults(const std::string& text) override { text2 = text; }
    void setProgress(const std::string& text) override {
        text5 = text;
        if (onProgress)
            onProgress();
    }
    void setButtonEnabled(bool enabled) override {
        buttonEnabled = enabled;
        buttonChanges.push_back(enabled);
    }
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void yieldToMessageLoop() override {
        ++yields;
        if (onYield)
            onYield();
        platform::EventLoop::instance().yield(std::chrono::milliseconds(200));
    }
    bool closed() override { return windowClosed; }

    std::string text2, text5;
    bool buttonEnabled = true;
    std::vector<bool> buttonChanges;
    std::vector<std::string> messages;
    int yields = 0;
    bool windowClosed = false;
    std::function<void()> onYield, onProgress;
};

// A clock that delivers a chosen number of ticks over each run, all at the
// moment the run is stopped, so that a transfer "takes" exactly that long.
class ScriptedClock : public BandwidthTest::Clock {
public:
    std::function<void()> tick;
    std::deque<int> ticksPerRun;
    bool running = false;
    int starts = 0;

    void start() override {
        running = true;
        ++starts;
    }
    void stop() override {
        if (running && !ticksPerRun.empty()) {
            for (int i = ticksPerRun.front(); i > 0; --i)
                tick();
            ticksPerRun.pop_front();
        }
        running = false;
    }
};

class BandwidthCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new PyFtpServer(); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        char pattern[] = "/tmp/mitu-bandwidth-XXXXXX";
        folder = ::mkdtemp(pattern);
        fs::remove_all(server->root() / "incoming");
        fs::create_directory(server->root() / "incoming");
        content = patternBytes(200 * 1024, 7);
        writeFile(server->root() / "test2.txt", content);
        settings.ftpServer = "127.0.0.1";
        settings.ftpPort = server->port();
        settings.ftpUser = "anonymous";
        settings.ftpPassword = "anonymous@example.com";
        settings.folder = folder.string();
        makeTest();
    }
    void TearDown() override {
        test.reset();
        fs::remove_all(folder);
    }

    void makeTest() {
        test = BandwidthTest::Test::create(controls, timer3, timer4, settings);
        timer3.tick = [this] { test->Timer3_Timer(); };
        timer4.tick = [this] { test->Timer4_Timer(); };
        test->Activate();
    }

    static PyFtpServer* server;
    fs::path folder;
    std::string content;
    BandwidthTest::Settings settings;
    RecordingControls controls;
    ScriptedClock timer3, timer4;
    std::shared_ptr<BandwidthTest::Test> test;
};

PyFtpServer* BandwidthCheck::server = nullptr;

} // namespace

TEST(BandwidthVerdicts, TheLastThresholdThatHoldsDecides) {
    // The label follows the ticks of Timer3; the figure is milliseconds.
    EXPECT_EQ(BandwidthTest::DownloadVerdict(0), "Download Excellent: 0 ms");
    EXPECT_EQ(BandwidthTest::DownloadVerdict(30), "Download Excellent: 3000 ms");
    EXPECT_EQ(BandwidthTest::DownloadVerdict(31), "Download adequate: 3100 ms");
    EXPECT_EQ(BandwidthTest::DownloadVerdict(60), "Download adequate: 6000 ms");
    EXPECT_EQ(BandwidthTest::DownloadVerdict(61),
              "Download unsuccessful or to poor to qualify: 6100 ms");
    EXPECT_EQ(BandwidthTest::UploadVerdict(60), "Upload Excellent: 6000 ms");
    EXPECT_EQ(BandwidthTest::UploadVerdict(61), "Upload adequate: 6100 ms");
    EXPECT_EQ(BandwidthTest::UploadVerdict(120), "Upload adequate: 12000 ms");
    EXPECT_EQ(BandwidthTest::UploadVerdict(121),
              "Upload unsuccessful or to poor to qualify: 12100 ms");
    // What mitu-check's exit status counts as qualifying.
    EXPECT_TRUE(BandwidthTest::Qualifies(BandwidthTest::DownloadVerdict(60)));
    EXPECT_FALSE(BandwidthTest::Qualifies(BandwidthTest::DownloadVerdict(61)));
    EXPECT_TRUE(BandwidthTest::Qualifies(BandwidthTest::UploadVerdict(120)));
    EXPECT_FALSE(BandwidthTest::Qualifies(BandwidthTest::UploadVerdict(121)));
}

TEST_F(BandwidthCheck, ACompleteTestRatesBothTransfers) {
    // The download takes 25 ticks, the upload 40: each is rated on its own.
    timer3.ticksPerRun = {25, 40};
    test->Command4_Click();
    ASSERT_TRUE(controls.messages.empty()) << controls.messages.front();
    EXPECT_EQ(controls.text2,
              "Download Excellent: 2500 ms\r\n\r\nUpload Excellent: 4000 ms\r\n\r\n");
    EXPECT_EQ(test->UploadTime, 40);
    // The count, then the rate of the transfer.
    EXPECT_TRUE(controls.text5.starts_with(std::to_string(content.size()) + " bytes transferred,"));
    EXPECT_TRUE(test->downloaded() && test->uploaded()->bytes == content.size() &&
                !test->failure());
    EXPECT_EQ(controls.buttonChanges, (std::vector<bool>{false, true}));
    EXPECT_FALSE(timer3.running);
    EXPECT_FALSE(timer4.running);
    // The local file stays in the folder; the server got the same bytes back.
    EXPECT_TRUE(readFile(folder / "test2.txt") == content) << "file differs";
    EXPECT_TRUE(readFile(server->root() / "incoming" / "test2up.txt") == content) << "file differs";
    // No QUIT: the connection is simply closed.
    EXPECT_TRUE(ftptest::runUntil([&] {
        return test->m_objFtpClient->FtpSessionState() ==
               static_cast<std::int32_t>(FtpSessionState::Disconnected);
    }));
}

TEST_F(BandwidthCheck, AnExistingLocalFileIsOverwritten) {
    writeFile(folder / "test2.txt", std::string(300 * 1024, 'x'));
    test->Command4_Click();
    EXPECT_TRUE(controls.messages.empty());
    EXPECT_TRUE(readFile(folder / "test2.txt") == content) << "file differs";
}

TEST_F(BandwidthCheck, ARefusedConnectionIsNeverRated) {
    auto closed = std::make_unique<PyFtpServer>();
    settings.ftpPort = closed->port();
    closed.reset(); // nothing listens there now
    makeTest();
    test->Command4_Click();
    // The message names the cause, as the failure does.
    ASSERT_EQ(controls.messages.size(), 1u);
    EXPECT_TRUE(controls.messages[0].starts_with("unable to connect: error 10061: "));
    EXPECT_TRUE(test->failure()->step == "connect" && test->failure()->number == 10061);
    EXPECT_EQ(controls.text2, "");
    EXPECT_TRUE(controls.buttonEnabled);
}

TEST_F(BandwidthCheck, AFailedDownloadEndsTheTestWithItsMessage) {
    fs::remove(server->root() / "test2.txt"); // the server answers RETR with 550
    test->Command4_Click();
    EXPECT_EQ(controls.messages, (std::vector<std::string>{"unable to download file: error 16550: "
                                                           "Requested action not taken."}));
    EXPECT_FALSE(test->downloaded());
    EXPECT_EQ(controls.text2, "");
    EXPECT_TRUE(controls.buttonEnabled);
    EXPECT_TRUE(ftptest::runUntil([&] {
        return test->m_objFtpClient->FtpSessionState() ==
               static_cast<std::int32_t>(FtpSessionState::Disconnected);
    }));
}

TEST_F(BandwidthCheck, AFailedUploadKeepsTheDownloadVerdict) {
    fs::remove_all(server->root() / "incoming"); // nowhere to store the upload
    timer3.ticksPerRun = {12, 5};
    test->Command4_Click();
    EXPECT_EQ(controls.messages.at(0).substr(0, 34), "unable to upload file: error 16550");
    EXPECT_EQ(controls.text2, "Download Excellent: 1200 ms\r\n\r\n");
    EXPECT_TRUE(test->downloaded() && !test->uploaded()); // a failed step has no rate
    EXPECT_TRUE(controls.buttonEnabled);
}

TEST_F(BandwidthCheck, AStepThatOutlastsItsLimitEnds) {
    // A server that greets and then says nothing: the client's own time-out
    // is 100 s, but the window's clock passes the connection limit first.
    ftptest::ScriptedServer silent([](ftptest::Peer& peer) { peer.send("220 Ready\r\n"); });
    settings.ftpPort = silent.port();
    makeTest();
    controls.onYield = [this] {
        if (timer4.running)
            for (int i = 0; i < 40000; ++i)
                test->Timer4_Timer();
    };
    test->Command4_Click();
    EXPECT_EQ(controls.messages,
              (std::vector<std::string>{"unable to connect: the step did not end within 36000 s"}));
    EXPECT_EQ(controls.text5, "Connecting to 127.0.0.1..."); // what it waited for
    EXPECT_EQ(test->ct, 0);
    EXPECT_TRUE(controls.buttonEnabled);
}

TEST_F(BandwidthCheck, AServersWordsInTheCauseAreEscaped) {
    ftptest::ScriptedServer rude([](ftptest::Peer& peer) {
        peer.send("220 Ready\r\n");
        peer.readLine();
        peer.send("599 \x1b[2Jgone\r\n");
    });
    settings.ftpPort = rude.port();
    makeTest();
    test->Command4_Click();
    EXPECT_EQ(controls.messages.at(0), "unable to connect: error 16599: 599 \\x1b[2Jgone");
}

TEST_F(BandwidthCheck, ReplacingTheClientDuringATestDoesNotStrandIt) {
    // The explanation window's return activates the window again, which
    // replaces the client; the running test goes on with the one it has.
    bool replaced = false;
    controls.onProgress = [&] {
        if (!replaced && controls.text5.ends_with(" bytes transferred")) {
            replaced = true;
            test->Activate();
        }
    };
    auto before = test->m_objFtpClient;
    test->Command4_Click();
    EXPECT_TRUE(replaced);
    EXPECT_NE(test->m_objFtpClient, before);
    EXPECT_TRUE(controls.messages.empty());
    EXPECT_TRUE(readFile(server->root() / "incoming" / "test2up.txt") == content) << "file differs";
    // The new client is ready for the next click, and so is a client whose
    // last connection is still closing when the next click comes.
    controls.text2.clear();
    test->Command4_Click();
    EXPECT_TRUE(controls.messages.empty());
    controls.text2.clear();
    test->Command4_Click();
    EXPECT_TRUE(controls.messages.empty())
        << controls.messages.front() << ": " << test->m_objFtpClient->LastFtpError()->Description();
    EXPECT_NE(controls.text2, "");
}

TEST_F(BandwidthCheck, ClosingTheWindowEndsAWaitingTestQuietly) {
    ftptest::ScriptedServer silent([](ftptest::Peer& peer) { peer.send("220 Ready\r\n"); });
    settings.ftpPort = silent.port();
    makeTest();
    controls.onYield = [this] {
        if (controls.yields == 3)
            controls.windowClosed = true;
    };
    test->Command4_Click();
    EXPECT_TRUE(controls.messages.empty());
    EXPECT_TRUE(controls.buttonEnabled);
}
