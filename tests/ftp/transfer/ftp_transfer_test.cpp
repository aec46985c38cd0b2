// Downloads and uploads against a scripted server: resets, refusals, late
// answers, sizes, ASCII mode, upload chunks and start positions, local
// files that cannot be opened or change underway.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ftptest::DataChannel;
using ftptest::openPassive;
using ftptest::openTransfer;
using ftptest::patternBytes;
using ftptest::Peer;
using ftptest::quickLogin;
using ftptest::readFile;
using ftptest::runUntil;
using ftptest::ScriptedServer;
using ftptest::Session;
using ftptest::writeFile;

TEST(FtpTransfer, ResetDataConnectionFailsTheDownloadKeepsThePartAndTheSessionGoesOn) {
    const std::string bytes = patternBytes(5000);
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data)) // RETR
            return;
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

TEST(FtpTransfer, LateAnswerToACancelledDownloadIsNotTakenForTheNextCommands) {
    const std::string bytes = patternBytes(4000);
    Session s([&](Peer& peer) {
        quickLogin(peer);
        {
            DataChannel data;
            if (!openTransfer(peer, data)) // RETR
                return;
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
TEST(FtpTransfer, RefusalThatComesWithADataResetIsReportedAsTheRefusal) {
    Session s([&](Peer& peer) {
        quickLogin(peer);
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

TEST(FtpTransfer, TransferTheServerAbortsIsNotReportedAsComplete) {
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data))
            return;
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

TEST(FtpTransfer, MultiLineReplyArrivingInPiecesDuringADownloadIsActedOnOnce) {
    const std::string bytes = patternBytes(20000);
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data))
            return;
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
        quickLogin(peer);
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
TEST(FtpTransfer, SizeOfTheRemoteFileChecksTheDownload) {
    {
        Session s([&](Peer& peer) {
            peer.answerSize("213 1000000\r\n");
            quickLogin(peer);
            DataChannel data;
            if (!openTransfer(peer, data)) // RETR
                return;
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
            quickLogin(peer);
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
TEST(FtpTransfer, AsciiModeConvertsLineEnds) {
    Session d([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data)) // RETR
            return;
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

// One progress event per piece, at the position where it ends, while the
// pieces go to the socket several at a time: far fewer sends than pieces.
TEST(FtpTransfer, UploadRaisesOneEventPerPieceAndSendsSeveralPiecesAtATime) {
    struct Row {
        std::size_t size;
        std::int16_t piece;
        std::uint64_t mostDataSends; // one a piece: 4, 719 and 128
    };
    for (const Row row : {Row{5000, 1460, 3}, Row{1 << 20, 1460, 40}, Row{1 << 20, 8192, 24}}) {
        SCOPED_TRACE(std::to_string(row.size) + " bytes in pieces of " + std::to_string(row.piece));
        std::string received;
        Session s(uploadScript(received));
        ASSERT_TRUE(s.connected());
        const std::string bytes = patternBytes(row.size);
        writeFile(s.local / "up.bin", bytes);
        s.client->setSendBufferLenght(row.piece);
        const auto before = platform::winsock::dataCallCounts().sends;
        s.client->UploadFile((s.local / "up.bin").string(), "up.bin");
        EXPECT_EQ(s.next(), "OnUploadFile 0");
        std::vector<std::int64_t> expected;
        for (std::size_t at = row.piece; at < row.size; at += row.piece)
            expected.push_back(static_cast<std::int64_t>(at));
        expected.push_back(static_cast<std::int64_t>(row.size));
        EXPECT_EQ(s.progress, expected);
        // TYPE, PASV and STOR are sent too.
        EXPECT_LE(platform::winsock::dataCallCounts().sends - before, row.mostDataSends + 3);
        EXPECT_TRUE(received == bytes);
        EXPECT_TRUE(s.sent("STOR up.bin"));
        EXPECT_FALSE(s.sent("REST 0"));
    }
}

TEST(FtpTransfer, UploadFromAStartPositionSendsRestAndTheTail) {
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

TEST(FtpTransfer, EmptyFileUploadClosesTheDataConnectionAtOnce) {
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
TEST(FtpTransfer, ResetAfterAnUploadHasEndedDoesNotEndTheNextMethod) {
    std::string received;
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data, "150 Ready for data\r\n")) // STOR
            return;
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
TEST(FtpTransfer, ConnectDuringADownloadClosesItsLocalFile) {
    Session s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data)) // RETR
            return;
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

TEST(FtpTransfer, FileThatShrinksOrBufferThatChangesDuringAnUploadKeepsThePositionTrue) {
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

TEST(FtpTransfer, SecondTransferWhileAnUploadRunsIsRefusedAndTheUploadGoesOn) {
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

TEST(FtpTransfer, RefusedRestEndsTheDownloadAndLeavesTheLocalFileAsItWas) {
    Session s([](Peer& peer) {
        quickLogin(peer);
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

TEST(FtpTransfer, LocalFileThatCannotBeOpenedFailsWithTheHandlersSource) {
    Session s([](Peer& peer) {
        quickLogin(peer);
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
        quickLogin(peer);
        DataChannel data;
        openPassive(peer, data);
        peer.readLine(1s);
    });
    ASSERT_TRUE(u.connected());
    u.client->UploadFile((u.local / "missing.bin").string(), "x");
    EXPECT_EQ(u.next(), "OnUploadFile 1");
    EXPECT_EQ(u.client->LastFtpError()->Number(), 53);
}

} // namespace
