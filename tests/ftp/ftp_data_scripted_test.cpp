// Data connections, transfers and listings against a scripted server: the
// replies, refusals, resets and odd texts that real servers rarely produce.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ftptest::DataChannel;
using ftptest::EventLog;
using ftptest::patternBytes;
using ftptest::Peer;
using ftptest::readFile;
using ftptest::runUntil;
using ftptest::ScriptedServer;
using ftptest::writeFile;

void login(Peer& peer) {
    ftptest::quickLogin(peer);
}

// TYPE and PASV answered; the data connection accepted. Returns false if
// the client did not connect.
bool openPassive(Peer& peer, DataChannel& data, const std::string& pasvReply = "") {
    peer.readLine(); // TYPE
    peer.send("200 Type set\r\n");
    peer.readLine(); // PASV
    const std::string reply = data.listen();
    peer.send(pasvReply.empty() ? reply : pasvReply);
    return data.accept(2s);
}

// The pasv reply text with the channel's port in place of "P1,P2".
std::string withPort(std::string text, int port) {
    const auto at = text.find("P1,P2");
    return text.replace(at, 5, std::to_string(port / 256) + "," + std::to_string(port % 256));
}

// A client on a scripted server.
struct Session : ftptest::ScriptedSession {
    explicit Session(ScriptedServer::Script script, bool passive = true)
        : ScriptedSession(std::move(script), passive, 5) {}
    std::string next(double seconds = 10) { return ScriptedSession::next(seconds); }
};

TEST(FtpDataScripted, PassiveReplyWithoutParenthesesOrWithBlanksStillConnects) {
    const std::string bytes = patternBytes(3000);
    for (const std::string form :
         {"227 Entering Passive Mode 127,0,0,1,P1,P2\r\n", "227 =127,0,0,1,P1,P2\r\n",
          "227 Entering Passive Mode ( 127, 0, 0, 1, P1,P2 ).\r\n"}) {
        SCOPED_TRACE(form);
        Session s([&](Peer& peer) {
            login(peer);
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

TEST(FtpDataScripted, PassiveReplyInTwoPiecesStillConnects) {
    Session s([&](Peer& peer) {
        login(peer);
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
TEST(FtpDataScripted, PassiveReplyNamingAnotherHostConnectsToTheServerOnly) {
    const std::string bytes = patternBytes(3000);
    bool decoyReached = true;
    Session s([&](Peer& peer) {
        login(peer);
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

TEST(FtpDataScripted, PassiveReplyWithoutAUsableAddressFailsTheMethod) {
    for (const std::string form :
         {"227 Entering Passive Mode (127,0,0,x,1,2)\r\n",
          "227 Entering Passive Mode (127,0,0,1,300,2)\r\n",
          "227 Entering Passive Mode (127,0,0,1,4)\r\n", "227 Entering Passive Mode\r\n"}) {
        SCOPED_TRACE(form);
        Session s([&](Peer& peer) {
            login(peer);
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
TEST(FtpDataScripted, RefusedPasvIsFollowedByEpsvWhoseReplyMustNameAPort) {
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
            login(peer);
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

TEST(FtpDataScripted, ResetDataConnectionFailsTheDownloadKeepsThePartAndTheSessionGoesOn) {
    const std::string bytes = patternBytes(5000);
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send(bytes);
        std::this_thread::sleep_for(200ms);
        data.reset();
        peer.send("426 Connection closed; transfer aborted\r\n");
        if (peer.readLine() == "PWD")
            peer.send("257 \"/after\"\r\n");
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    // The server's word on the broken transfer is what is reported.
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16426);
    EXPECT_EQ(readFile(s.local / "f.bin"), bytes); // what came stays on disk
    s.client->GetCurrentDirectory();
    EXPECT_EQ(s.next(), "OnGetCurrentDirectory 0");
    EXPECT_EQ(s.client->CurrentDirectory(), "/after");
}

TEST(FtpDataScripted, LateAnswerToACancelledDownloadIsNotTakenForTheNextCommands) {
    const std::string bytes = patternBytes(4000);
    Session s([&](Peer& peer) {
        login(peer);
        {
            DataChannel data;
            if (!openPassive(peer, data))
                return;
            peer.readLine(); // RETR
            peer.send("150 Opening\r\n");
            data.send(bytes);
            peer.readLine(); // TYPE of the next download, before the old transfer's end
            peer.send("200 Type set\r\n426 Transfer aborted\r\n");
        }
        DataChannel data;
        peer.readLine(); // PASV
        peer.send(data.listen());
        if (!data.accept(2s))
            return;
        peer.readLine(); // REST
        peer.send("350 Restarting\r\n");
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send("tail");
        data.close();
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(s.connected());
    const fs::path file = s.local / "f.bin";
    s.client->OnDataTransferProgress.subscribe([&](std::int64_t) {
        if (s.log.count() == 1)
            s.client->CancelAsyncMethod();
    });
    s.client->DownloadFile("f.bin", file.string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 3");
    const auto kept = fs::file_size(file);
    EXPECT_GT(kept, 0u);
    s.client->DownloadFile("f.bin", file.string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    EXPECT_TRUE(s.sent("REST " + std::to_string(kept)));
    EXPECT_EQ(readFile(file), bytes.substr(0, kept) + "tail");
}

// A server that refuses RETR on the control connection and resets the data
// connection: the refusal is what is reported, not the reset.
TEST(FtpDataScripted, RefusalThatComesWithADataResetIsReportedAsTheRefusal) {
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        data.reset();
        std::this_thread::sleep_for(200ms);
        peer.send("550 missing.bin: No such file or directory\r\n");
        peer.readLine(1s);
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("missing.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    EXPECT_EQ(s.error(), 16550);
    EXPECT_FALSE(s.client->Busy());
    EXPECT_TRUE(s.quietFor(0.3));
}

TEST(FtpDataScripted, TransferTheServerAbortsIsNotReportedAsComplete) {
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine();
        peer.send("150 Opening\r\n");
        data.send(patternBytes(100));
        data.close();
        std::this_thread::sleep_for(100ms);
        peer.send("451 Local error in processing\r\n");
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16451);
    EXPECT_EQ(s.log.count(), 2u);
}

TEST(FtpDataScripted, MultiLineReplyArrivingInPiecesDuringADownloadIsActedOnOnce) {
    const std::string bytes = patternBytes(20000);
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine();
        peer.send("150 Opening\r\n");
        data.send(bytes.substr(0, 8000));
        peer.send("226-Transfer\r\n");
        data.send(bytes.substr(8000));
        peer.send("226-more");
        peer.send(" text\r\n");
        data.close();
        std::this_thread::sleep_for(100ms);
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    runUntil([] { return false; }, 0.2);
    EXPECT_EQ(s.log.count(), 2u);
    EXPECT_TRUE(readFile(s.local / "f.bin") == bytes);
    EXPECT_EQ(s.client->FtpServerMessage(), "Transfer\r\nmore text");
    EXPECT_EQ(std::count(s.log.protocol.begin(), s.log.protocol.end(), "< 226 Done"), 1);
}

// Plays a passive upload: returns what came on the data connection.
ScriptedServer::Script uploadScript(std::string& received, bool rest = false) {
    return [&received, rest](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        if (rest) {
            peer.readLine();
            peer.send("350 Restarting\r\n");
        }
        peer.readLine(); // STOR
        peer.send("150 Ready for data\r\n");
        received = data.receiveAll();
        peer.send("226 Stored\r\n");
    };
}

// SIZE before a binary download: a short transfer fails, a resume past the
// remote end fails without touching the file, an equal one needs no transfer.
TEST(FtpDataScripted, SizeOfTheRemoteFileChecksTheDownload) {
    {
        Session s([&](Peer& peer) {
            peer.answerSize("213 1000000\r\n");
            login(peer);
            DataChannel data;
            if (!openPassive(peer, data))
                return;
            peer.readLine(); // RETR
            peer.send("150 Opening\r\n");
            data.send(patternBytes(1000));
            data.close();
            peer.send("226 Done\r\n");
        });
        ASSERT_TRUE(s.connected());
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        EXPECT_EQ(s.next(), "OnDownloadFile 1");
        EXPECT_EQ(s.error(), CFtpClient::SizeMismatch);
        EXPECT_EQ(s.client->TransferSize(), 1000000);
        EXPECT_EQ(fs::file_size(s.local / "f.bin"), 1000u); // kept for a resume
    }
    for (const std::size_t local : {2000u, 1000u}) {
        SCOPED_TRACE(local);
        Session s([&](Peer& peer) {
            peer.answerSize("213 1000\r\n");
            login(peer);
            peer.readLine(); // TYPE
            peer.send("200 Type set\r\n");
            peer.readLine(1s);
        });
        ASSERT_TRUE(s.connected());
        const std::string part = patternBytes(local);
        writeFile(s.local / "f.bin", part);
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        if (local > 1000) {
            EXPECT_EQ(s.next(), "OnDownloadFile 1");
            EXPECT_EQ(s.error(), CFtpClient::LocalFileLonger);
        } else {
            EXPECT_EQ(s.next(), "OnDownloadFile 0");
        }
        EXPECT_TRUE(s.sent("SIZE f.bin"));
        EXPECT_FALSE(s.sent("PASV"));
        EXPECT_FALSE(s.sent("RETR f.bin"));
        EXPECT_TRUE(readFile(s.local / "f.bin") == part);
        EXPECT_FALSE(s.client->Busy());
    }
}

// TYPE A: CR LF on the wire, LF in the local file, both ways.
TEST(FtpDataScripted, AsciiModeConvertsLineEnds) {
    Session d([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send("one\r\ntwo\r");
        std::this_thread::sleep_for(100ms);
        data.send("\nthree\rfour\r\n");
        data.close();
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(d.connected());
    d.client->setTransferMode(0);
    d.client->DownloadFile("t.txt", (d.local / "t.txt").string(), false);
    EXPECT_EQ(d.next(), "OnDownloadFile 0");
    EXPECT_EQ(readFile(d.local / "t.txt"), "one\ntwo\nthree\rfour\n");
    EXPECT_TRUE(d.sent("TYPE A"));
    EXPECT_FALSE(d.sent("SIZE t.txt"));

    std::string received;
    Session u(uploadScript(received));
    ASSERT_TRUE(u.connected());
    writeFile(u.local / "up.txt", "x\ny\n");
    u.client->setTransferMode(0);
    u.client->UploadFile((u.local / "up.txt").string(), "up.txt");
    EXPECT_EQ(u.next(), "OnUploadFile 0");
    EXPECT_EQ(received, "x\r\ny\r\n");
}

TEST(FtpDataScripted, UploadGoesInChunksOfTheBufferLengthOneAtATime) {
    std::string received;
    Session s(uploadScript(received));
    ASSERT_TRUE(s.connected());
    const std::string bytes = patternBytes(5000);
    writeFile(s.local / "up.bin", bytes);
    s.client->UploadFile((s.local / "up.bin").string(), "up.bin");
    EXPECT_EQ(s.next(), "OnUploadFile 0");
    EXPECT_EQ(s.progress, (std::vector<std::int64_t>{1460, 2920, 4380, 5000}));
    EXPECT_TRUE(received == bytes);
    EXPECT_TRUE(s.sent("STOR up.bin"));
    EXPECT_FALSE(s.sent("REST 0"));
}

TEST(FtpDataScripted, UploadFromAStartPositionSendsRestAndTheTail) {
    std::string received;
    Session s(uploadScript(received, true));
    ASSERT_TRUE(s.connected());
    const std::string bytes = patternBytes(5000);
    writeFile(s.local / "up.bin", bytes);
    s.client->UploadFile((s.local / "up.bin").string(), "up.bin", 3000);
    EXPECT_EQ(s.next(), "OnUploadFile 0");
    EXPECT_TRUE(s.sent("REST 3000"));
    EXPECT_EQ(s.progress, (std::vector<std::int64_t>{4460, 5000}));
    EXPECT_TRUE(received == bytes.substr(3000));
}

TEST(FtpDataScripted, EmptyFileUploadClosesTheDataConnectionAtOnce) {
    std::string received = "unset";
    Session s(uploadScript(received));
    ASSERT_TRUE(s.connected());
    writeFile(s.local / "empty.bin", "");
    s.client->UploadFile((s.local / "empty.bin").string(), "empty.bin");
    EXPECT_EQ(s.next(), "OnUploadFile 0");
    EXPECT_EQ(received, "");
    EXPECT_TRUE(s.progress.empty());
}

// The end of an upload's data connection comes after the upload's end,
// maybe while the next method runs: its failure is not that method's.
TEST(FtpDataScripted, ResetAfterAnUploadHasEndedDoesNotEndTheNextMethod) {
    std::string received;
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // STOR
        peer.send("150 Ready for data\r\n");
        received = data.receiveAll();
        peer.send("226 Stored\r\n");
        peer.readLine(); // CWD
        data.reset();
        std::this_thread::sleep_for(200ms);
        peer.send("250 Done\r\n");
        peer.readLine(1s);
    });
    ASSERT_TRUE(s.connected());
    writeFile(s.local / "up.bin", "abc");
    s.client->UploadFile((s.local / "up.bin").string(), "up.bin");
    EXPECT_EQ(s.next(), "OnUploadFile 0");
    s.client->SetCurrentDirectory("/x");
    EXPECT_EQ(s.next(), "OnSetCurrentDirectory 0");
    EXPECT_EQ(received, "abc");
}

// Connect takes the place of a pending download: the download's local file
// and data connection are given up with it.
TEST(FtpDataScripted, ConnectDuringADownloadClosesItsLocalFile) {
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send("abc");
        peer.readLine(2s);
    });
    ASSERT_TRUE(s.connected());
    const fs::path file = s.local / "f.bin";
    s.client->DownloadFile("f.bin", file.string(), false);
    ftptest::runUntil([&] { return !s.progress.empty(); });
    ASSERT_EQ(s.progress, std::vector<std::int64_t>{3});
    s.client->Connect();
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        EXPECT_NE(fs::read_symlink(fd.path(), ignored), file);
    }
    EXPECT_EQ(readFile(file), "abc");
}

TEST(FtpDataScripted, FileThatShrinksOrBufferThatChangesDuringAnUploadKeepsThePositionTrue) {
    std::string received;
    Session s(uploadScript(received));
    ASSERT_TRUE(s.connected());
    const std::string bytes = patternBytes(5000);
    const fs::path file = s.local / "up.bin";
    writeFile(file, bytes);
    s.client->OnDataTransferProgress.subscribe([&](std::int64_t position) {
        if (position == 1460) {
            fs::resize_file(file, 2000);
            s.client->setSendBufferLenght(512);
        }
    });
    s.client->UploadFile(file.string(), "up.bin");
    EXPECT_EQ(s.next(), "OnUploadFile 0");
    EXPECT_EQ(s.progress, (std::vector<std::int64_t>{1460, 2000}));
    EXPECT_TRUE(received == bytes.substr(0, 2000));
}

TEST(FtpDataScripted, SecondTransferWhileAnUploadRunsIsRefusedAndTheUploadGoesOn) {
    std::string received;
    Session s(uploadScript(received));
    ASSERT_TRUE(s.connected());
    const std::string bytes = patternBytes(3000);
    writeFile(s.local / "up.bin", bytes);
    s.client->UploadFile((s.local / "up.bin").string(), "up.bin");
    for (auto call : std::vector<std::function<void()>>{
             [&] { s.client->DownloadFile("x", (s.local / "x").string(), false); },
             [&] { s.client->EnumFiles(); },
             [&] { s.client->UploadFile((s.local / "up.bin").string(), "y"); }}) {
        try {
            call();
            ADD_FAILURE() << "not refused";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.number(), 16007);
        }
    }
    EXPECT_EQ(s.next(), "OnUploadFile 0");
    EXPECT_TRUE(received == bytes);
    EXPECT_FALSE(fs::exists(s.local / "x"));
}

TEST(FtpDataScripted, RefusedRestEndsTheDownloadAndLeavesTheLocalFileAsItWas) {
    Session s([](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // REST
        peer.send("502 REST not implemented\r\n");
        peer.readLine(1s);
    });
    ASSERT_TRUE(s.connected());
    writeFile(s.local / "part.bin", std::string(1000, 'p'));
    s.client->DownloadFile("f.bin", (s.local / "part.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    EXPECT_TRUE(s.sent("REST 1000"));
    EXPECT_FALSE(s.sent("RETR f.bin"));
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16502);
    EXPECT_EQ(readFile(s.local / "part.bin"), std::string(1000, 'p'));
}

TEST(FtpDataScripted, LocalFileThatCannotBeOpenedFailsWithTheHandlersSource) {
    Session s([](Peer& peer) {
        login(peer);
        DataChannel data;
        openPassive(peer, data);
        peer.readLine(1s);
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "no" / "such" / "dir").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    auto error = s.client->LastFtpError();
    EXPECT_EQ(error->Source(), "CFtpClient.m_objDataSocket_OnConnect");
    EXPECT_EQ(error->Description().rfind("CFtpClient.OpenLocalFile failed: ", 0), 0u)
        << error->Description();
    EXPECT_FALSE(s.sent("RETR f.bin"));

    // A missing file to upload, found when the data connection is up.
    Session u([](Peer& peer) {
        login(peer);
        DataChannel data;
        openPassive(peer, data);
        peer.readLine(1s);
    });
    ASSERT_TRUE(u.connected());
    u.client->UploadFile((u.local / "missing.bin").string(), "x");
    EXPECT_EQ(u.next(), "OnUploadFile 1");
    EXPECT_EQ(u.client->LastFtpError()->Number(), 53);
}

TEST(FtpDataScripted, ActiveModeAnnouncesTheListeningPortAndTriesTheNextOneNextTime) {
    std::vector<std::string> ports;
    Session s(
        [&](Peer& peer) {
            login(peer);
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
TEST(FtpDataScripted, ActiveModeTakesTheDataConnectionOnlyFromTheServer) {
    const std::string bytes = patternBytes(3000);
    bool otherAddressReached = true;
    std::string intruderGot = "unset";
    bool intruderClosed = false;
    Session s(
        [&](Peer& peer) {
            login(peer);
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

TEST(FtpDataScripted, PortCandidatesWrapToTheBottomOfTheRange) {
    EXPECT_EQ(CFtpClient::NextPortCandidate(20000), 20001);
    EXPECT_EQ(CFtpClient::NextPortCandidate(65534), 65535);
    EXPECT_EQ(CFtpClient::NextPortCandidate(65535), 20000);
    EXPECT_EQ(CFtpClient::NextPortCandidate(70000), 20000);
}

// Plays a passive listing with the given text.
ScriptedServer::Script listingScript(const std::string& text) {
    return [text](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // LIST
        peer.send("150 Here it comes\r\n");
        data.send(text);
        data.close();
        peer.send("226 Done\r\n");
    };
}

TEST(FtpDataScripted, ListingIsParsedWhenTheServerHasSentIt) {
    const std::string text = "total 2\r\n"
                             "drwxr-xr-x   2 ftp      ftp          4096 Mar  5 09:15 pub\r\n"
                             "03-15-06  01:02AM                 1234 a b.txt\r\n";
    Session s(listingScript(text));
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 0");
    EXPECT_TRUE(s.sent("TYPE A"));
    EXPECT_TRUE(s.sent("LIST"));
    EXPECT_EQ(s.client->CurrentDirectoryListing(), text);
    auto files = s.client->CurrentDirectoryFiles();
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 2);
    EXPECT_EQ(files->Item(1)->FileName(), "pub");
    EXPECT_EQ(files->Item(2)->FileName(), "a b.txt");
    EXPECT_EQ(s.progress.back(), static_cast<std::int64_t>(text.size()));
}

TEST(FtpDataScripted, UnreadableListingKeepsTheTextAndReports16002) {
    const std::string text = "-rw-r--r-- 1 ftp ftp 12x4 Mar 15 12:34 a.txt\r\n";
    Session s(listingScript(text));
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 1");
    EXPECT_EQ(s.client->CurrentDirectoryListing(), text);
    EXPECT_FALSE(s.client->CurrentDirectoryFiles());
    auto error = s.client->LastFtpError();
    EXPECT_EQ(error->Number(), 16002);
    EXPECT_EQ(error->Description(), "Unknown listing format.");
    EXPECT_EQ(error->Source(), "CFtpClient.m_objDataSocket_OnClose");
}

TEST(FtpDataScripted, EmptyListingGivesAnEmptyCollection) {
    Session s(listingScript(""));
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 0");
    ASSERT_TRUE(s.client->CurrentDirectoryFiles());
    EXPECT_EQ(s.client->CurrentDirectoryFiles()->Count(), 0);
}

} // namespace
