// The client against a hostile server: endless and enormous replies, text
// dribbled a byte at a time, connections dropped or reset at every step,
// bad passive addresses, data connections that misbehave, huge and broken
// listings. Every method must end with exactly one completion event and a
// known status, within its time-out, without the process growing.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"
#include "support/memory.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

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

// TYPE and PASV answered and the data connection accepted.
bool openPassive(Peer& peer, DataChannel& data) {
    peer.readLine(); // TYPE
    peer.send("200 Type set\r\n");
    peer.readLine(); // PASV
    peer.send(data.listen());
    return data.accept(3s);
}

// A client on a scripted server, with short time-outs.
struct Session : ftptest::ScriptedSession {
    explicit Session(ScriptedServer::Script script, bool passive = true, bool connect = true)
        : ScriptedSession(std::move(script), passive, 2, connect) {}
    std::string next(double seconds = 6) { return ScriptedSession::next(seconds); }
};

TEST(FtpHostile, EndlessLineAndTenMegabyteReplyAreCutOff) {
    for (const bool multiLine : {false, true}) {
        SCOPED_TRACE(multiLine ? "10 MB multi-line reply" : "a line that never ends");
        const std::size_t before = testsupport::allocatedBytes();
        Session s([&](Peer& peer) {
            login(peer);
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

TEST(FtpHostile, RepliesDribbledOneByteAtATimeDuringADownload) {
    const std::string bytes = patternBytes(20000);
    Session s([&](Peer& peer) {
        login(peer);
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

// A control connection the server has dropped. A reset is a socket error
// (10054): the method ends and the session is Ready with its socket closed.
// An orderly close is seen as such (16008, Disconnected), unless the client
// was sending a command into it at the time, which the peer answers with a
// reset.
void expectLost(Session& s, bool reset) {
    if (reset || s.error() == 10054) {
        EXPECT_EQ(s.error(), 10054);
        EXPECT_EQ(s.client->LastFtpError()->Source(), "CFtpClient.m_objControlSocket_OnError");
        EXPECT_EQ(s.client->FtpSessionState(), 0);
    } else {
        EXPECT_EQ(s.error(), 16008);
        EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }, 3));
    }
}

// The login: the server drops the connection before the greeting, after
// USER, after PASS or after PWD, closing it or resetting it.
TEST(FtpHostile, ControlConnectionLostAtEachStepOfTheLogin) {
    for (const bool reset : {false, true}) {
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE((reset ? "reset at step " : "closed at step ") + std::to_string(step));
            Session s(
                [&](Peer& peer) {
                    const char* replies[] = {"220 Ready\r\n", "331 Password\r\n",
                                             "230 Logged in\r\n"};
                    for (int i = 0; i < step; ++i) {
                        peer.send(replies[i]);
                        peer.readLine();
                    }
                    reset ? peer.reset() : peer.close();
                },
                true, false);
            s.client->Connect();
            EXPECT_EQ(s.next(), "OnConnect 1");
            expectLost(s, reset);
            EXPECT_FALSE(s.client->Busy());
            EXPECT_TRUE(s.quietFor(0.2));
        }
    }
}

// A download: the control connection drops after TYPE, after PASV, after
// RETR and after the 150 with data flowing.
TEST(FtpHostile, ControlConnectionLostAtEachStepOfATransfer) {
    const std::string bytes = patternBytes(4000);
    for (const bool reset : {false, true}) {
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE((reset ? "reset at step " : "closed at step ") + std::to_string(step));
            Session s([&](Peer& peer) {
                login(peer);
                DataChannel data;
                peer.readLine(); // TYPE
                if (step > 0) {
                    peer.send("200 Type set\r\n");
                    peer.readLine(); // PASV
                    peer.send(data.listen());
                    data.accept(3s);
                }
                if (step > 1)
                    peer.readLine(); // RETR
                if (step > 2) {
                    peer.send("150 Opening\r\n");
                    data.send(bytes);
                }
                reset ? peer.reset() : peer.close();
                std::this_thread::sleep_for(300ms);
            });
            ASSERT_TRUE(s.connected());
            s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
            EXPECT_EQ(s.next(), "OnDownloadFile 1");
            expectLost(s, reset);
            EXPECT_FALSE(s.client->Busy());
            EXPECT_FALSE(s.client->DataTransferInProgress());
            EXPECT_TRUE(s.quietFor(0.2));
        }
    }
}

TEST(FtpHostile, PassiveReplyNamingAClosedPortFailsTheListing) {
    const int port = ftptest::closedPort();
    Session s([&](Peer& peer) {
        login(peer);
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

TEST(FtpHostile, PassiveRepliesWithBadNumbersFailWithBadPassiveReply) {
    for (const std::string form :
         {"227 Entering Passive Mode (127,0,0,1,256,1)\r\n", "227 (999,0,0,1,1,1)\r\n",
          "227 (127,0,0,1,0,0)\r\n", "227 (127,0,0,1)\r\n", "227 (,,,,,)\r\n",
          "227 Entering Passive Mode 127 0 0 1 4 1\r\n", "227 (-1,0,0,1,4,1)\r\n"}) {
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
        s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
        EXPECT_EQ(s.next(), "OnDownloadFile 1");
        EXPECT_EQ(s.error(), CFtpClient::BadPassiveReply);
        EXPECT_FALSE(s.client->Busy());
    }
}

TEST(FtpHostile, DataResetMidDownloadKeepsThePartAndTheDownloadResumes) {
    const std::string bytes = patternBytes(60000);
    Session s([&](Peer& peer) {
        login(peer);
        {
            DataChannel data;
            if (!openPassive(peer, data))
                return;
            peer.readLine(); // RETR
            peer.send("150 Opening\r\n");
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

TEST(FtpHostile, DataResetMidUploadFailsTheUploadAndKeepsTheLocalFile) {
    const std::string bytes = patternBytes(400000);
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // STOR
        peer.send("150 Go ahead\r\n");
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

TEST(FtpHostile, SilentDataConnectionAfterTheTransferReplyTimesOutThenCancels) {
    DataChannel* open = nullptr;
    Session s([&](Peer& peer) {
        login(peer);
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
TEST(FtpHostile, OpenMultiLineReplyOrRepeated150WithASilentDataConnectionTimesOut) {
    for (const bool trickle : {false, true}) {
        SCOPED_TRACE(trickle ? "150 every 0.3 s" : "150- never ended");
        Session s([&](Peer& peer) {
            login(peer);
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

TEST(FtpHostile, ServerThatNeverConnectsBackInActiveModeTimesOutThenCancels) {
    Session s(
        [&](Peer& peer) {
            login(peer);
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

TEST(FtpHostile, UnsolicitedServiceClosingDuringATransferFailsIt) {
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
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

TEST(FtpHostile, UploadConfirmedBeforeItWasAllSentFails) {
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // STOR
        peer.send("150 Go ahead\r\n", 200ms);
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
TEST(FtpHostile, DownloadLongerThanItsAnnouncedSizeStopsAndWritesNothingPastIt) {
    struct Row {
        const char *size, *opening;
        std::size_t partial;
    };
    for (const Row& row : {Row{"213 1000\r\n", "150 Opening\r\n", 0},
                           Row{"", "150 Opening BINARY mode for f.bin (1000 bytes).\r\n", 0},
                           Row{"213 5000\r\n", "150 Opening\r\n", 1000}}) {
        SCOPED_TRACE(row.opening + std::to_string(row.partial));
        Session s([&](Peer& peer) {
            if (*row.size)
                peer.answerSize(row.size);
            login(peer);
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

TEST(FtpHostile, ConfirmedDownloadOutlivesTheControlConnection) {
    const std::string bytes = patternBytes(400000);
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // RETR
        peer.send("150 Opening\r\n");
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
TEST(FtpHostile, UploadFromAFifoReadsToItsEndOrTimesOut) {
    const std::string bytes = patternBytes(100000);
    for (const bool writer : {true, false}) {
        SCOPED_TRACE(writer ? "with a writer" : "no writer");
        std::string received = "unset";
        Session s([&](Peer& peer) {
            login(peer);
            DataChannel data;
            if (!openPassive(peer, data))
                return;
            peer.readLine(); // STOR
            peer.send("150 Go ahead\r\n");
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

ScriptedServer::Script listingScript(std::string text) {
    return [text = std::move(text)](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // LIST
        peer.send("150 Here it comes\r\n", 0ms);
        data.send(text);
        data.close();
        peer.send("226 Done\r\n");
    };
}

TEST(FtpHostile, ListingOfTwoHundredThousandLines) {
    std::string text;
    const int lines = 200000;
    for (int i = 0; i < lines; ++i)
        text += "-rw-r--r--   1 ftp      ftp      " + std::to_string(i) + " Mar  5 09:15 file" +
                std::to_string(i) + "\r\n";
    Session s(listingScript(text));
    ASSERT_TRUE(s.connected());
    // The text and its entries cost about the text's length, not many times it.
    const std::size_t before = testsupport::allocatedBytes();
    std::size_t most = 0;
    const auto sample = [&](auto...) { most = std::max(most, testsupport::allocatedBytes()); };
    s.client->OnDataTransferProgress.subscribe(sample);
    s.client->OnEnumFiles.subscribe(sample);
    s.client->EnumFiles();
    EXPECT_EQ(s.next(60), "OnEnumFiles 0");
    EXPECT_LT(most - before, 2 * text.size());
    auto files = s.client->CurrentDirectoryFiles();
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), lines);
    EXPECT_EQ(files->Item(lines)->FileName(), "file" + std::to_string(lines - 1));
    EXPECT_EQ(files->Item(lines)->FileSize(), lines - 1);
}

TEST(FtpHostile, ListingsWithInvalidDatesSizesAndNamesReport16002) {
    for (const std::string& line : std::vector<std::string>{
             "-rw-r--r-- 1 ftp ftp 10 Feb 30 12:00 bad-day\r\n",
             "-rw-r--r-- 1 ftp ftp 10 Mar  5 25:00 bad-hour\r\n",
             "-rw-r--r-- 1 ftp ftp 10 Mar  5 12:61 bad-minute\r\n",
             "-rw-r--r-- 1 ftp ftp 99999999999999999999 Mar  5 12:00 huge\r\n",
             "13-45-06  12:34PM                 10 bad-month.txt\r\n",
             "03-15-06  13:34PM                 10 bad-hour.txt\r\n",
             "03-15-06  12:34XM                 10 no-half.txt\r\n",
             "not a listing at all\r\n",
             std::string("-rw-r--r-- 1 ftp ftp 10 Mar  5 12:00 ") + '\0' + "\xff\r\n" +
                 "\x01\x02\x03\r\n",
         }) {
        SCOPED_TRACE(line);
        Session s(listingScript(line));
        ASSERT_TRUE(s.connected());
        s.client->EnumFiles();
        EXPECT_EQ(s.next(), "OnEnumFiles 1");
        EXPECT_EQ(s.error(), CFtpClient::UnknownListingFormat);
        EXPECT_EQ(s.client->CurrentDirectoryListing(), line);
        EXPECT_FALSE(s.client->CurrentDirectoryFiles());
    }
    // Odd names are names: blanks, arrows in plain files, bytes above 127.
    const std::string odd = "-rw-r--r-- 1 ftp ftp 10 Mar  5 12:00  leading blank\r\n"
                            "-rw-r--r-- 1 ftp ftp 10 Mar  5 12:00 a -> b\r\n"
                            "-rw-r--r-- 1 ftp ftp 10 Mar  5 12:00 \xc3\xa9t\xc3\xa9\r\n";
    Session s(listingScript(odd));
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 0");
    auto files = s.client->CurrentDirectoryFiles();
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 3);
    EXPECT_EQ(files->Item(1)->FileName(), " leading blank");
    EXPECT_EQ(files->Item(2)->FileName(), "a -> b");
    EXPECT_EQ(files->Item(3)->FileName(), "\xc3\xa9t\xc3\xa9");
}

TEST(FtpHostile, ListingPastItsLimitFailsAndKeepsTheLastListing) {
    const std::string line = "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a.txt\r\n";
    std::string big;
    while (big.size() < 300000)
        big += line;
    Session s([&](Peer& peer) {
        login(peer);
        DataChannel data;
        if (!openPassive(peer, data))
            return;
        peer.readLine(); // LIST
        peer.send("150 Here it comes\r\n");
        data.send(big);
        data.close();
        peer.send("226 Done\r\n");
        peer.readLine(2s);
    });
    ASSERT_TRUE(s.connected());
    s.client->setMaxListingLength(100000);
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 1");
    EXPECT_EQ(s.error(), CFtpClient::ListingTooLong);
    EXPECT_EQ(s.client->CurrentDirectoryListing(), "");
    EXPECT_FALSE(s.client->Busy());
    EXPECT_TRUE(s.quietFor(0.3));
}

} // namespace
