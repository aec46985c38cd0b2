// Replies on the control connection as the client reads them: cut into
// pieces, joined in one read, dribbled a byte at a time, endless or
// enormous.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"
#include "support/memory.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using ftptest::DataChannel;
using ftptest::login;
using ftptest::openPassive;
using ftptest::patternBytes;
using ftptest::Peer;
using ftptest::quickLogin;
using ftptest::readFile;
using ftptest::runUntil;
using ftptest::ScriptedServer;
using ftptest::ShortSession;

// A client on a scripted server with the client's own time-out, connected
// by the test.
struct Session : ftptest::ScriptedSession {
    explicit Session(ScriptedServer::Script script)
        : ScriptedSession(std::move(script), false, 0, false) {}
};

TEST(FtpReply, GreetingSplitInTwoPiecesIsActedOnOnce) {
    Session s([](Peer& peer) {
        peer.send("220 Re");
        login(peer, "ady\r\n");
    });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.log.protocol,
              (std::vector<std::string>{"< ady", "> USER anonymous", "< 331 Password required",
                                        "> PASS mitu-user@example.com", "< 230 Logged in", "> PWD ",
                                        "< 257 \"/\" is the current directory"}));
    EXPECT_EQ(s.log.states, (std::vector<std::int32_t>{2, 3, 4, 4, 5, 13, 0}));
    EXPECT_EQ(s.client->CurrentDirectory(), "/");
    EXPECT_EQ(s.client->UserName(), "anonymous");
}

TEST(FtpReply, LineEndSplitAcrossTwoReadsKeepsTheReply) {
    Session s([](Peer& peer) {
        peer.send("220 Ready\r");
        login(peer, "\n");
    });
    ASSERT_TRUE(s.connect());
    ASSERT_FALSE(s.log.protocol.empty());
    EXPECT_EQ(s.log.protocol[0], "< 220 Ready");
    EXPECT_EQ(s.server.received(),
              (std::vector<std::string>{"USER anonymous", "PASS mitu-user@example.com", "PWD"}));
}

TEST(FtpReply, MultiLineGreetingFillsFtpServerMessageOnce) {
    Session s([](Peer& peer) {
        peer.send("220-Welcome\r\n");
        peer.send("220-Second line\r\n220 Ready\r\n");
        peer.readLine();
        peer.send("230 No password needed\r\n");
        peer.readLine();
        peer.send("257 \"/home/user\"\r\n");
    });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.client->FtpServerMessage(), "Welcome\r\nSecond line");
    EXPECT_EQ(s.client->FtpServerMessage(), "");
    // 230 straight after USER: no PASS.
    EXPECT_EQ(s.server.received(), (std::vector<std::string>{"USER anonymous", "PWD"}));
    EXPECT_EQ(s.log.states, (std::vector<std::int32_t>{2, 3, 4, 5, 13, 0}));
    EXPECT_EQ(s.client->CurrentDirectory(), "/home/user");
}

// Two replies in one read (the late answer to a cancelled command and the
// answer to the next): each is shown once, with its own text.
TEST(FtpReply, TwoRepliesInOneReadAreEachShownOnce) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine(); // CWD
        if (peer.readLine() == "PWD")
            peer.send("250 Okay\r\n257 \"/b\"\r\n");
    });
    ASSERT_TRUE(s.connect());
    s.client->setTimeOut(1);
    s.client->SetCurrentDirectory("slow");
    ASSERT_TRUE(s.waitFor("OnSetCurrentDirectory 2", 3));
    s.client->CancelAsyncMethod();
    s.log.protocol.clear();
    s.client->GetCurrentDirectory();
    EXPECT_TRUE(s.waitFor("OnGetCurrentDirectory 0", 3));
    EXPECT_EQ(s.client->CurrentDirectory(), "/b");
    EXPECT_EQ(s.log.protocol, (std::vector<std::string>{"> PWD ", "< 250 Okay", "< 257 \"/b\""}));
}

TEST(FtpReply, EndlessReplyIsCutOffAndTheSessionClosed) {
    bool closedByClient = false;
    Session s([&](Peer& peer) {
        login(peer);
        peer.readLine();
        const std::string line = "257-" + std::string(1020, 'x') + "\r\n";
        std::string chunk;
        for (int i = 0; i < 64; ++i)
            chunk += line;
        for (int i = 0; i < 40 && !peer.closed(); ++i) // 2.5 MiB unless the client gives up
            peer.send(chunk, 0ms);
        closedByClient = peer.waitForClose();
    });
    ASSERT_TRUE(s.connect());
    s.client->GetCurrentDirectory();
    ASSERT_TRUE(s.waitFor("OnGetCurrentDirectory 1", 20));
    EXPECT_EQ(s.client->LastFtpError()->Number(), CFtpClient::ReplyTooLong);
    EXPECT_EQ(s.client->LastFtpError()->Source(), "CFtpClient.m_objControlSocket_OnDataArrival");
    EXPECT_NE(s.client->LastFtpError()->Description().find("longer than"), std::string::npos);
    EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }, 20));
    EXPECT_EQ(s.log.count(), 2u);
    EXPECT_TRUE(closedByClient);
}

TEST(FtpReply, EndlessLineAndTenMegabyteReplyAreCutOff) {
    for (const bool multiLine : {false, true}) {
        SCOPED_TRACE(multiLine ? "10 MB multi-line reply" : "a line that never ends");
        const std::size_t before = testsupport::allocatedBytes();
        ShortSession s([&](Peer& peer) {
            quickLogin(peer);
            peer.readLine(); // PWD
            const std::string line =
                multiLine ? "257-" + std::string(1018, 'x') + "\r\n" : std::string(1024, 'x');
            std::string chunk = multiLine ? "" : "257 ";
            for (int i = 0; i < 64; ++i)
                chunk += line;
            for (int i = 0; i < 160 && !peer.closed(); ++i) // 10 MiB unless the client gives up
                peer.send(chunk, 0ms);
            peer.waitForClose(3s);
        });
        ASSERT_TRUE(s.connected());
        s.client->GetCurrentDirectory();
        EXPECT_EQ(s.next(20), "OnGetCurrentDirectory 1");
        EXPECT_EQ(s.error(), CFtpClient::ReplyTooLong);
        EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }, 10));
        EXPECT_EQ(s.log.count(), 2u);
        // The kept text is bounded by the cut-off, not by what the server
        // sends: live allocations, since freed memory stays resident under a
        // sanitizer.
        EXPECT_LT(testsupport::allocatedBytes() - before, 4 * CFtpClient::MaxReplyLength);
    }
}

TEST(FtpReply, RepliesDribbledOneByteAtATimeDuringADownload) {
    const std::string bytes = patternBytes(20000);
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        auto dribble = [&](const std::string& text) {
            for (char c : text)
                peer.send(std::string(1, c), 2ms);
        };
        dribble("150-Opening the data connection\r\n150-for f.bin\r\n150 Go\r\n");
        data.send(bytes.substr(0, 10000));
        dribble("226-Transfer\r\n");
        data.send(bytes.substr(10000));
        data.close();
        dribble("226 complete\r\n");
        if (peer.readLine() == "PWD")
            dribble("257 \"/next\"\r\n");
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    EXPECT_TRUE(readFile(s.local / "f.bin") == bytes);
    s.client->GetCurrentDirectory();
    EXPECT_EQ(s.next(), "OnGetCurrentDirectory 0");
    EXPECT_EQ(s.client->CurrentDirectory(), "/next");
    EXPECT_TRUE(s.quietFor(0.3));
    EXPECT_EQ(s.log.count(), 3u);
}

} // namespace
