// Opening the data connection against a scripted server: passive replies
// in odd forms or naming other hosts and bad ports, EPSV after a refused
// PASV, active mode's listener and its port candidates.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using ftptest::DataChannel;
using ftptest::patternBytes;
using ftptest::Peer;
using ftptest::quickLogin;
using ftptest::readFile;
using ftptest::Session;
using ftptest::ShortSession;

// The pasv reply text with the channel's port in place of "P1,P2".
std::string withPort(std::string text, int port) {
    const auto at = text.find("P1,P2");
    return text.replace(at, 5, std::to_string(port / 256) + "," + std::to_string(port % 256));
}

TEST(FtpDataConnection, PassiveReplyWithoutParenthesesOrWithBlanksStillConnects) {
    const std::string bytes = patternBytes(3000);
    for (const std::string form :
         {"227 Entering Passive Mode 127,0,0,1,P1,P2\r\n", "227 =127,0,0,1,P1,P2\r\n",
          "227 Entering Passive Mode ( 127, 0, 0, 1, P1,P2 ).\r\n"}) {
        SCOPED_TRACE(form);
        Session s([&](Peer& peer) {
            quickLogin(peer);
            DataChannel data;
            peer.readLine();
            peer.send("200 Type set\r\n");
            peer.readLine();
            data.listen();
            peer.send(withPort(form, data.port()));
            if (!data.accept(2s))
                return;
            peer.readLine(); // RETR
            peer.send("150 Opening\r\n");
            data.send(bytes);
            data.close();
            peer.send("226 Done\r\n");
        });
        ASSERT_TRUE(s.connected());
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        EXPECT_EQ(s.next(), "OnDownloadFile 0");
        EXPECT_TRUE(readFile(s.local / "f.bin") == bytes);
        EXPECT_EQ(s.log.count(), 2u);
    }
}

TEST(FtpDataConnection, PassiveReplyInTwoPiecesStillConnects) {
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        peer.readLine(); // TYPE
        peer.send("200 Type set\r\n");
        peer.readLine(); // PASV
        const std::string reply = data.listen();
        peer.send(reply.substr(0, 30));
        peer.send(reply.substr(30));
        if (!data.accept(2s))
            return;
        peer.readLine(); // LIST
        peer.send("150 Here it comes\r\n");
        data.close();
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 0");
}

// The address in a 227 reply is not followed: the data connection goes to
// the server's own address, with only the port taken from the reply.
TEST(FtpDataConnection, PassiveReplyNamingAnotherHostConnectsToTheServerOnly) {
    const std::string bytes = patternBytes(3000);
    bool decoyReached = true;
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data, decoy;
        peer.readLine(); // TYPE
        peer.send("200 Type set\r\n");
        peer.readLine(); // PASV
        data.listen();
        decoy.listen("127.0.0.2", data.port());
        peer.send(withPort("227 Entering Passive Mode (127,0,0,2,P1,P2)\r\n", data.port()));
        const bool accepted = data.accept(2s);
        decoyReached = decoy.accept(0ms);
        if (!accepted)
            return;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send(bytes);
        data.close();
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    EXPECT_TRUE(readFile(s.local / "f.bin") == bytes);
    EXPECT_FALSE(decoyReached);
}

TEST(FtpDataConnection, PassiveReplyWithoutAUsableAddressFailsTheMethod) {
    for (const std::string form :
         {"227 Entering Passive Mode (127,0,0,x,1,2)\r\n",
          "227 Entering Passive Mode (127,0,0,1,300,2)\r\n",
          "227 Entering Passive Mode (127,0,0,1,4)\r\n", "227 Entering Passive Mode\r\n"}) {
        SCOPED_TRACE(form);
        Session s([&](Peer& peer) {
            quickLogin(peer);
            peer.readLine();
            peer.send("200 Type set\r\n");
            peer.readLine();
            peer.send(form);
            peer.readLine(1s);
        });
        ASSERT_TRUE(s.connected());
        s.client->EnumFiles();
        EXPECT_EQ(s.next(), "OnEnumFiles 1");
        auto error = s.client->LastFtpError();
        EXPECT_EQ(error->Number(), CFtpClient::BadPassiveReply);
        EXPECT_EQ(error->Source(), "CFtpClient.m_objControlSocket_OnDataArrival");
        EXPECT_EQ(error->Description().rfind("CFtpClient.EstablishPasvDataConnection failed: ", 0),
                  0u);
        EXPECT_EQ(s.client->FtpSessionState(), 0);
    }
}

// A server that refuses PASV is asked for EPSV, whose 229 reply names the
// port on the server's own address; a 229 without a usable port fails like
// a 227 without one, and a refused EPSV reports the PASV refusal.
TEST(FtpDataConnection, RefusedPasvIsFollowedByEpsvWhoseReplyMustNameAPort) {
    const std::vector<std::pair<std::string, int>> forms = {
        {"229 Entering Extended Passive Mode (|||PORT|)\r\n", 0},
        {"229 Entering Extended Passive Mode (!!!PORT!)\r\n", 0},
        {"229 Entering Extended Passive Mode (|||0|)\r\n", CFtpClient::BadPassiveReply},
        {"229 Entering Extended Passive Mode (||1|PORT|)\r\n", CFtpClient::BadPassiveReply},
        {"229 Entering Extended Passive Mode (|||70000|)\r\n", CFtpClient::BadPassiveReply},
        {"229 Entering Extended Passive Mode (|||PORT)\r\n", CFtpClient::BadPassiveReply},
        {"229 Entering Extended Passive Mode |||PORT|\r\n", CFtpClient::BadPassiveReply},
        {"502 EPSV not implemented\r\n", 16502}};
    for (const auto& [form, expected] : forms) {
        SCOPED_TRACE(form);
        std::string epsv;
        Session s([&](Peer& peer) {
            quickLogin(peer);
            DataChannel data;
            peer.readLine(); // TYPE
            peer.send("200 Type set\r\n");
            peer.readLine(); // PASV
            peer.send("502 PASV not implemented\r\n");
            epsv = peer.readLine();
            data.listen();
            std::string reply = form;
            if (const auto at = reply.find("PORT"); at != std::string::npos)
                reply.replace(at, 4, std::to_string(data.port()));
            peer.send(reply);
            if (expected != 0 || !data.accept(2s)) {
                peer.readLine(1s);
                return;
            }
            peer.readLine(); // LIST
            peer.send("150 Here it comes\r\n");
            data.close();
            peer.send("226 Done\r\n");
        });
        ASSERT_TRUE(s.connected());
        s.client->EnumFiles();
        EXPECT_EQ(s.next(), expected == 0 ? "OnEnumFiles 0" : "OnEnumFiles 1");
        EXPECT_EQ(epsv, "EPSV");
        if (expected != 0) {
            EXPECT_EQ(s.client->LastFtpError()->Number(), expected);
        }
        EXPECT_EQ(s.client->FtpSessionState(), 0);
    }
}

TEST(FtpDataConnection, PassiveReplyNamingAClosedPortFailsTheListing) {
    const int port = ftptest::closedPort();
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        peer.readLine(); // TYPE
        peer.send("200 Type set\r\n");
        peer.readLine(); // PASV
        peer.send("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                  std::to_string(port % 256) + ")\r\n");
        peer.readLine(2s);
    });
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 1");
    EXPECT_EQ(s.error(), 10061);
    EXPECT_FALSE(s.client->Busy());
    EXPECT_TRUE(s.quietFor(0.2));
}

TEST(FtpDataConnection, PassiveRepliesWithBadNumbersFailWithBadPassiveReply) {
    for (const std::string form :
         {"227 Entering Passive Mode (127,0,0,1,256,1)\r\n", "227 (999,0,0,1,1,1)\r\n",
          "227 (127,0,0,1,0,0)\r\n", "227 (127,0,0,1)\r\n", "227 (,,,,,)\r\n",
          "227 Entering Passive Mode 127 0 0 1 4 1\r\n", "227 (-1,0,0,1,4,1)\r\n"}) {
        SCOPED_TRACE(form);
        ShortSession s([&](Peer& peer) {
            quickLogin(peer);
            peer.readLine();
            peer.send("200 Type set\r\n");
            peer.readLine();
            peer.send(form);
            peer.readLine(1s);
        });
        ASSERT_TRUE(s.connected());
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        EXPECT_EQ(s.next(), "OnDownloadFile 1");
        EXPECT_EQ(s.error(), CFtpClient::BadPassiveReply);
        EXPECT_FALSE(s.client->Busy());
    }
}

TEST(FtpDataConnection, ActiveModeAnnouncesTheListeningPortAndTriesTheNextOneNextTime) {
    std::vector<std::string> ports;
    Session s(
        [&](Peer& peer) {
            quickLogin(peer);
            for (int round = 0; round < 2; ++round) {
                peer.readLine(); // TYPE
                peer.send("200 Type set\r\n");
                const std::string port = peer.readLine();
                ports.push_back(port);
                DataChannel data;
                if (!data.connect(port.substr(5)))
                    return;
                peer.send("200 PORT ok\r\n");
                peer.readLine(); // LIST
                peer.send("150 Here it comes\r\n");
                data.send("-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a.txt\r\n");
                data.close();
                peer.send("226 Done\r\n");
            }
            peer.readLine(); // TYPE
            peer.send("200 Type set\r\n");
            peer.readLine(); // PORT
            peer.send("500 No active mode here\r\n");
        },
        false);
    ASSERT_TRUE(s.connected());
    for (int round = 0; round < 2; ++round) {
        s.client->EnumFiles();
        ASSERT_EQ(s.next(), "OnEnumFiles 0");
        ASSERT_EQ(s.client->CurrentDirectoryFiles()->Count(), 1);
    }
    ASSERT_EQ(ports.size(), 2u);
    int n[2][6];
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(std::sscanf(ports[i].c_str(), "PORT %d,%d,%d,%d,%d,%d", &n[i][0], &n[i][1],
                              &n[i][2], &n[i][3], &n[i][4], &n[i][5]),
                  6);
    EXPECT_EQ(ports[0].substr(0, 14), "PORT 127,0,0,1");
    const int first = n[0][4] * 256 + n[0][5];
    EXPECT_GE(first, 20000);
    EXPECT_LE(first, 40001);
    EXPECT_EQ(n[1][4] * 256 + n[1][5], first + 1);

    // A refused PORT ends the listing and takes the listener down.
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 1");
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16500);
    DataChannel probe;
    EXPECT_FALSE(probe.connect("127,0,0,1," + std::to_string((first + 2) / 256) + "," +
                               std::to_string((first + 2) % 256)));
}

// In active mode the client listens on the control connection's local
// address only and takes the data connection only from the server's
// address: an intruder is closed and the server's connection still taken.
TEST(FtpDataConnection, ActiveModeTakesTheDataConnectionOnlyFromTheServer) {
    const std::string bytes = patternBytes(3000);
    bool otherAddressReached = true;
    std::string intruderGot = "unset";
    bool intruderClosed = false;
    Session s(
        [&](Peer& peer) {
            quickLogin(peer);
            peer.readLine(); // TYPE
            peer.send("200 Type set\r\n");
            const std::string port = peer.readLine().substr(5);
            const std::string portNumbers = port.substr(port.find(',', 8) + 1);
            DataChannel other;
            otherAddressReached = other.connect("127,0,0,2," + portNumbers);
            DataChannel intruder;
            if (!intruder.connect(port, "127.0.0.2"))
                return;
            intruder.send("intruder's bytes");
            const auto sent = std::chrono::steady_clock::now();
            intruderGot = intruder.receiveAll(3s);
            intruderClosed = std::chrono::steady_clock::now() - sent < 2s;
            peer.send("200 PORT ok\r\n");
            peer.readLine(); // RETR
            DataChannel data;
            if (!data.connect(port))
                return;
            peer.send("150 Opening\r\n");
            data.send(bytes);
            data.close();
            peer.send("226 Done\r\n");
        },
        false);
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    EXPECT_TRUE(readFile(s.local / "f.bin") == bytes);
    EXPECT_FALSE(otherAddressReached);
    EXPECT_EQ(intruderGot, "");
    EXPECT_TRUE(intruderClosed);
}

TEST(FtpDataConnection, PortCandidatesWrapToTheBottomOfTheRange) {
    EXPECT_EQ(CFtpClient::NextPortCandidate(20000), 20001);
    EXPECT_EQ(CFtpClient::NextPortCandidate(65534), 65535);
    EXPECT_EQ(CFtpClient::NextPortCandidate(65535), 20000);
    EXPECT_EQ(CFtpClient::NextPortCandidate(70000), 20000);
}

TEST(FtpDataConnection, ServerThatNeverConnectsBackInActiveModeTimesOutThenCancels) {
    ShortSession s(
        [&](Peer& peer) {
            quickLogin(peer);
            peer.readLine(); // TYPE
            peer.send("200 Type set\r\n");
            peer.readLine(); // PORT
            peer.send("200 PORT command successful\r\n");
            peer.readLine(); // RETR
            peer.send("150 Opening\r\n");
            peer.readLine(8s);
        },
        false);
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(s.next(), "OnDownloadFile 2");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    s.client->CancelAsyncMethod();
    EXPECT_EQ(s.log.last(), "OnDownloadFile 3");
    EXPECT_FALSE(s.client->Busy());
    EXPECT_FALSE(s.client->DataTransferInProgress());
    EXPECT_TRUE(s.quietFor(2.5));
}

} // namespace
