// Listings a scripted server sends: parsed when complete, unreadable,
// empty, huge, or past the limit.
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
using ftptest::openTransfer;
using ftptest::Peer;
using ftptest::quickLogin;
using ftptest::ScriptedServer;
using ftptest::Session;
using ftptest::ShortSession;

// Plays a passive listing with the given text; `pause` after the 150.
ScriptedServer::Script listingScript(std::string text, std::chrono::milliseconds pause = 80ms) {
    return [text = std::move(text), pause](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data, "150 Here it comes\r\n", pause)) // LIST
            return;
        data.send(text);
        data.close();
        peer.send("226 Done\r\n");
    };
}

TEST(FtpListing, ListingIsParsedWhenTheServerHasSentIt) {
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

TEST(FtpListing, UnreadableListingKeepsTheTextAndReports16002) {
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

TEST(FtpListing, EmptyListingGivesAnEmptyCollection) {
    Session s(listingScript(""));
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 0");
    ASSERT_TRUE(s.client->CurrentDirectoryFiles());
    EXPECT_EQ(s.client->CurrentDirectoryFiles()->Count(), 0);
}

TEST(FtpListing, ListingOfTwoHundredThousandLines) {
    std::string text;
    const int lines = 200000;
    for (int i = 0; i < lines; ++i)
        text += "-rw-r--r--   1 ftp      ftp      " + std::to_string(i) + " Mar  5 09:15 file" +
                std::to_string(i) + "\r\n";
    ShortSession s(listingScript(text, 0ms));
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

TEST(FtpListing, ListingsWithInvalidDatesSizesAndNamesReport16002) {
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
        ShortSession s(listingScript(line, 0ms));
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
    ShortSession s(listingScript(odd, 0ms));
    ASSERT_TRUE(s.connected());
    s.client->EnumFiles();
    EXPECT_EQ(s.next(), "OnEnumFiles 0");
    auto files = s.client->CurrentDirectoryFiles();
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 3);
    EXPECT_EQ(files->Item(1)->FileName(), " leading blank");
    EXPECT_EQ(files->Item(2)->FileName(), "a -> b");
    EXPECT_EQ(files->Item(3)->FileName(), "\xc3\xa9t\xc3\xa9");

    // A machine listing fails the same way.
    ShortSession m([](Peer& peer) {
        peer.answerFeat("211-Features:\r\n MLST type*;size*;\r\n211 End\r\n");
        listingScript("type=file;size=1; a\r\ntype=file;size=x; b\r\n", 0ms)(peer);
    });
    ASSERT_TRUE(m.connected());
    m.client->setUseMachineListings(true);
    m.client->EnumFiles();
    EXPECT_EQ(m.next(), "OnEnumFiles 1");
    EXPECT_EQ(m.error(), CFtpClient::UnknownListingFormat);
    EXPECT_TRUE(m.sent("MLSD"));
    EXPECT_FALSE(m.client->CurrentDirectoryFiles());

    // MLST offered but MLSD refused: the listing is asked again with LIST.
    ShortSession r([&](Peer& peer) {
        peer.answerFeat("211-Features:\r\n MLST type*;size*;\r\n211 End\r\n");
        quickLogin(peer);
        {
            DataChannel refused;
            if (!openTransfer(peer, refused, "500 MLSD not understood\r\n"))
                return;
        }
        DataChannel data;
        if (!openTransfer(peer, data, "150 Here it comes\r\n")) // LIST
            return;
        data.send(odd);
        data.close();
        peer.send("226 Done\r\n");
    });
    ASSERT_TRUE(r.connected());
    r.client->setUseMachineListings(true);
    r.client->EnumFiles();
    EXPECT_EQ(r.next(), "OnEnumFiles 0");
    EXPECT_EQ(r.client->ListingCommand(), "LIST");
    ASSERT_TRUE(r.client->CurrentDirectoryFiles());
    EXPECT_EQ(r.client->CurrentDirectoryFiles()->Count(), 3);
}

TEST(FtpListing, ListingPastItsLimitFailsAndKeepsTheLastListing) {
    const std::string line = "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a.txt\r\n";
    std::string big;
    while (big.size() < 300000)
        big += line;
    ShortSession s([&](Peer& peer) {
        quickLogin(peer);
        DataChannel data;
        if (!openTransfer(peer, data, "150 Here it comes\r\n")) // LIST
            return;
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
