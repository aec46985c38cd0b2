// Transfers a hostile server breaks: data connections reset or silent,
// replies that never end, confirmations that come too early, more data
// than announced, uploads from a FIFO. Every method ends with exactly one
// completion event and a known status, within its time-out.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
using ftptest::ShortSession;
using ftptest::writeFile;

TEST(FtpTransferFault, DataResetMidDownloadKeepsThePartAndTheDownloadResumes) {
    const std::string bytes = patternBytes(60000);
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        {
            DataChannel data;
            if (!openTransfer(peer, data)) // RETR
                return;
            data.send(bytes.substr(0, 25000));
            std::this_thread::sleep_for(200ms);
            data.reset();
            peer.send("426 Connection reset\r\n");
        }
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        const std::string rest = peer.readLine(); // REST <n>
        const std::size_t offset = std::stoul(rest.substr(5));
        peer.send("350 Restarting\r\n");
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send(bytes.substr(offset));
        data.close();
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(s.connected());
    const fs::path file = s.local / "f.bin";
    s.client->DownloadFile("f.bin", file.string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    EXPECT_EQ(s.error(), 16426);
    EXPECT_EQ(readFile(file), bytes.substr(0, 25000));
    s.client->DownloadFile("f.bin", file.string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    EXPECT_TRUE(readFile(file) == bytes);
}

TEST(FtpTransferFault, DataResetMidUploadFailsTheUploadAndKeepsTheLocalFile) {
    const std::string bytes = patternBytes(400000);
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data, "150 Go ahead\r\n")) // STOR
            return;
        std::this_thread::sleep_for(100ms);
        data.reset();
        peer.send("426 Connection reset\r\n");
        peer.readLine(3s);
    });
    ASSERT_TRUE(s.connected());
    const fs::path file = s.local / "up.bin";
    writeFile(file, bytes);
    s.client->UploadFile(file.string(), "up.bin");
    EXPECT_EQ(s.next(), "OnUploadFile 1");
    EXPECT_TRUE(s.error() == 10054 || s.error() == 10053 || s.error() == 16426) << s.error();
    EXPECT_TRUE(readFile(file) == bytes);
    EXPECT_FALSE(s.client->Busy());
    EXPECT_TRUE(s.quietFor(0.3));
}

TEST(FtpTransferFault, SilentDataConnectionAfterTheTransferReplyTimesOutThenCancels) {
    DataChannel* open = nullptr;
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        open = &data;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
        data.send("some bytes");
        peer.send("226 Done\r\n");
        peer.readLine(8s); // the data connection stays open and silent
        open = nullptr;
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(s.next(), "OnDownloadFile 2");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_TRUE(s.client->Busy());
    s.client->CancelAsyncMethod();
    EXPECT_EQ(s.log.last(), "OnDownloadFile 3");
    EXPECT_FALSE(s.client->Busy());
    EXPECT_FALSE(s.client->DataTransferInProgress());
    EXPECT_TRUE(s.quietFor(2.5));
    EXPECT_EQ(readFile(s.local / "f.bin"), "some bytes");
}

// "150-" opens a reply that never ends, or "150" comes again and again,
// while the data connection stays silent: the time-out reaches the caller.
TEST(FtpTransferFault, OpenMultiLineReplyOrRepeated150WithASilentDataConnectionTimesOut) {
    for (const bool trickle : {false, true}) {
        SCOPED_TRACE(trickle ? "150 every 0.3 s" : "150- never ended");
        ShortSession s([&](Peer& peer) {
            quickLogin(peer);
            DataChannel data;
            if (!openPassive(peer, data))
                return;
            peer.readLine(); // RETR
            peer.send(trickle ? "150 Still working\r\n" : "150-Opening\r\n");
            data.send(trickle ? "" : "some bytes");
            for (int i = 0; trickle && i < 25 && !peer.closed(); ++i)
                peer.send("150 Still working\r\n", 300ms);
            peer.readLine(8s);
        });
        ASSERT_TRUE(s.connected());
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(s.next(), "OnDownloadFile 2");
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
        s.client->CancelAsyncMethod();
        EXPECT_EQ(s.log.last(), "OnDownloadFile 3");
        EXPECT_FALSE(s.client->Busy());
    }
}

TEST(FtpTransferFault, UnsolicitedServiceClosingDuringATransferFailsIt) {
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data)) // RETR
            return;
        data.send(patternBytes(3000));
        peer.send("421 Service not available, closing control connection\r\n");
        peer.close();
        std::this_thread::sleep_for(500ms);
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 1");
    EXPECT_EQ(s.error(), 16421); // the reply's code in the client's own range
    EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }, 3));
    EXPECT_FALSE(s.client->Busy());
    EXPECT_TRUE(s.quietFor(0.3));
}

TEST(FtpTransferFault, UploadConfirmedBeforeItWasAllSentFails) {
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data, "150 Go ahead\r\n", 200ms)) // STOR
            return;
        peer.send("226 Transfer complete\r\n"); // having read none of it
        peer.readLine(3s);
    });
    ASSERT_TRUE(s.connected());
    writeFile(s.local / "up.bin", patternBytes(8 << 20));
    s.client->UploadFile((s.local / "up.bin").string(), "up.bin");
    EXPECT_EQ(s.next(), "OnUploadFile 1");
    EXPECT_EQ(s.error(), CFtpClient::UploadConfirmedEarly);
    EXPECT_FALSE(s.client->Busy());
}

// More data than the size the server gave (SIZE, or the count in its 150)
// is never written; a resume the server answers with the whole file leaves
// the partial file as it was.
TEST(FtpTransferFault, DownloadLongerThanItsAnnouncedSizeStopsAndWritesNothingPastIt) {
    struct Row {
        const char *size, *opening;
        std::size_t partial;
    };
    for (const Row& row : {Row{"213 1000\r\n", "150 Opening\r\n", 0},
                           Row{"", "150 Opening BINARY mode for f.bin (1000 bytes).\r\n", 0},
                           Row{"213 5000\r\n", "150 Opening\r\n", 1000}}) {
        SCOPED_TRACE(row.opening + std::to_string(row.partial));
        ShortSession s([&](Peer& peer) {
            if (*row.size)
                peer.answerSize(row.size);
            quickLogin(peer);
            DataChannel data;
            if (!openPassive(peer, data))
                return;
            if (peer.readLine().starts_with("REST"))
                peer.send("350 Restarting\r\n"), peer.readLine();
            peer.send(row.opening);
            data.send(patternBytes(row.partial ? 5000 : 48 << 20)); // from the start again
            data.close();
            peer.send("226 Done\r\n");
            peer.readLine(2s);
        });
        ASSERT_TRUE(s.connected());
        const std::string part = patternBytes(row.partial);
        if (row.partial)
            writeFile(s.local / "f.bin", part);
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        EXPECT_EQ(s.next(), "OnDownloadFile 1");
        EXPECT_EQ(s.error(), CFtpClient::SizeMismatch);
        EXPECT_LE(fs::exists(s.local / "f.bin") ? fs::file_size(s.local / "f.bin") : 0, 1000u);
        if (row.partial) {
            EXPECT_TRUE(readFile(s.local / "f.bin") == part);
            EXPECT_NE(s.client->LastFtpError()->Description().find("ignored the resume offset"),
                      std::string::npos);
        }
    }
}

TEST(FtpTransferFault, ConfirmedDownloadOutlivesTheControlConnection) {
    const std::string bytes = patternBytes(400000);
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data)) // RETR
            return;
        data.send(bytes.substr(0, 100000));
        peer.send("226 Done\r\n");
        peer.close();
        std::this_thread::sleep_for(300ms);
        data.send(bytes.substr(100000));
        data.close();
    });
    ASSERT_TRUE(s.connected());
    s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
    EXPECT_EQ(s.next(), "OnDownloadFile 0");
    EXPECT_TRUE(readFile(s.local / "f.bin") == bytes);
    EXPECT_EQ(s.client->FtpSessionState(), 1);
}

// A FIFO is read to its end, its length unknown; one no writer opens ends
// with the time-out, the loop never held in open().
TEST(FtpTransferFault, UploadFromAFifoReadsToItsEndOrTimesOut) {
    const std::string bytes = patternBytes(100000);
    for (const bool writer : {true, false}) {
        SCOPED_TRACE(writer ? "with a writer" : "no writer");
        std::string received = "unset";
        ShortSession s([&](Peer& peer) {
            quickLogin(peer);
            DataChannel data;
            if (!openTransfer(peer, data, "150 Go ahead\r\n")) // STOR
                return;
            received = data.receiveAll(writer ? 5s : 4s);
            peer.send("226 Stored\r\n");
        });
        ASSERT_TRUE(s.connected());
        const fs::path fifo = s.local / "fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::thread producer([&] {
            if (writer)
                writeFile(fifo, bytes);
        });
        s.client->UploadFile(fifo.string(), "up.bin");
        EXPECT_EQ(s.next(), writer ? "OnUploadFile 0" : "OnUploadFile 2");
        s.client->CancelAsyncMethod();
        producer.join();
        runUntil([&] { return s.server.scriptDone(); }, 6);
        EXPECT_TRUE(received == (writer ? bytes : ""));
        EXPECT_EQ(s.client->TransferSize(), -1);
    }
}

} // namespace
