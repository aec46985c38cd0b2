// The reader of Unix long-listing lines.
#include "ftp/listing_unix.h"
#include "listing_rows.h"

namespace {

using namespace listing_rows;

TEST(UnixListingLines, SampleLines) {
    auto files = parse("drwxr-xr-x   2 ftp      ftp          4096 Mar  5 09:15 pub\n"
                       "-rw-r--r--   1 ftp      ftp        123456 Dec 31  2004 readme.txt\n"
                       "-rw-r--r-- 1 ftp 42 Jan 10  2005 a.txt\n"
                       "lrwxrwxrwx 1 ftp ftp 11 Mar 15 12:34 link -> /var/target\n"
                       "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 my file.txt\n");
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 5);
    auto pub = files->Item(1);
    EXPECT_EQ(pub->FileName(), "pub");
    EXPECT_TRUE(pub->IsDirectory());
    EXPECT_EQ(pub->FileSize(), 4096);
    EXPECT_DOUBLE_EQ(pub->LastWriteTime().days, at(Year, 3, 5, 9, 15));
    EXPECT_EQ(pub->Permissions(), "drwxr-xr-x");
    EXPECT_EQ(pub->Owner(), "ftp");
    EXPECT_EQ(pub->Group(), "ftp");

    auto readme = files->Item(2);
    EXPECT_EQ(readme->FileName(), "readme.txt");
    EXPECT_FALSE(readme->IsDirectory());
    EXPECT_EQ(readme->FileSize(), 123456);
    EXPECT_DOUBLE_EQ(readme->LastWriteTime().days, at(2004, 12, 31));

    auto a = files->Item(3);
    EXPECT_EQ(a->FileName(), "a.txt");
    EXPECT_EQ(a->FileSize(), 42);
    EXPECT_EQ(a->Owner(), "ftp");
    EXPECT_EQ(a->Group(), "");

    auto link = files->Item(4);
    EXPECT_EQ(link->FileName(), "link");
    EXPECT_EQ(link->FilePath(), "/var/target");
    EXPECT_FALSE(link->IsDirectory());

    EXPECT_EQ(files->Item(5)->FileName(), "my file.txt");
}

TEST(UnixListingLines, RealServerLinesOneRowPerVariant) {
    const Row rows[] = {
        // single blanks, one-digit days and hours, BSD and Solaris columns
        {"-rw-r--r-- 1 user group 1234 Oct 2 10:59 notes.txt", false, "notes.txt", 1234,
         at(2026, 10, 2, 10, 59), "user", "group"},
        {"drwxr-xr-x 2 user group 4096 Mar 25 0:23 build", true, "build", 4096,
         at(2026, 3, 25, 0, 23)},
        {"drwxr-xr-x  2 root  wheel  512 Jan  4  2019 etc", true, "etc", 512, at(2019, 1, 4),
         "root", "wheel"},
        {"-rw-r--r--+ 1 user staff 42 Feb 29  2024 leap.txt", false, "leap.txt", 42,
         at(2024, 2, 29)},
        {"-rw-r--r-- 1 ftp ftp 9 Apr  1 08:00 trailing ", false, "trailing ", 9,
         at(2026, 4, 1, 8, 0)},
        // sizes beyond 2 GiB
        {"-rw-r--r-- 1 ftp ftp 5497558138880 Aug 14 21:40 disk.img", false, "disk.img",
         5497558138880LL, at(2026, 8, 14, 21, 40)},
        {"-rw-r--r-- 1 ftp ftp 2147483648 Mar 15 12:34 big", false, "big", 2147483648LL,
         at(2026, 3, 15, 12, 34)},
        {"-rw-r--r-- 1 ftp ftp 1099511627776 Mar 15 12:34 huge", false, "huge", 1099511627776LL,
         at(2026, 3, 15, 12, 34)},
        // long-iso dates
        {"-rw-r--r-- 1 user group 1234 2012-02-07 00:31 report.pdf", false, "report.pdf", 1234,
         at(2012, 2, 7, 0, 31)},
        {"drwxr-xr-x  3 user group       4096 2023-11-30 17:05 src", true, "src", 4096,
         at(2023, 11, 30, 17, 5)},
        {"lrwxrwxrwx 1 user group 6 2024-01-15 08:00 latest -> v2.1.0", false, "latest", 6,
         at(2024, 1, 15, 8, 0), "user", "group", "v2.1.0"},
        // devices list with size 0, and so does a negative size
        {"crw-r-----   1 root     sys      109,767 Jul  2  2004 rdsk", false, "rdsk", 0,
         at(2004, 7, 2), "root", "sys"},
        {"brw-rw----   1 root     disk       8,   0 Nov 20 09:15 sda", false, "sda", 0,
         at(2026, 11, 20, 9, 15), "root", "disk"},
        {"-rw-r--r--   1 ftp      ftp            -1 Nov  9  2011 broken", false, "broken", 0,
         at(2011, 11, 9), "ftp", "ftp"},
        // the leftmost date after the size, not the first month of the calendar
        {"-rw-r--r-- 1 ftp ftp 3 Mar 15 12:34 Jan  1  2020 x", false, "Jan  1  2020 x", 3,
         at(2026, 3, 15, 12, 34)},
        {"-rw-r--r-- 1 ftp ftp 1234 Mar 15 12:34 5 Jan 01 2020 fake.txt", false,
         "5 Jan 01 2020 fake.txt", 1234, at(2026, 3, 15, 12, 34)},
        {"-rw-r--r-- 1 mar staff 7 Mar 15 12:34 owner", false, "owner", 7, at(2026, 3, 15, 12, 34),
         "mar", "staff"},
        // a time instead of a year: the recent past, never more than a day ahead
        {"-rw-r--r-- 1 ftp ftp 10 Dec 20 10:00 last-december", false, "last-december", 10,
         at(2025, 12, 20, 10, 0)},
        {"-rw-r--r-- 1 ftp ftp 10 Nov 21 10:00 tomorrow", false, "tomorrow", 10,
         at(2026, 11, 21, 10, 0)},
        // no owner and no group
        {"-rw-r--r--   1 42 Jan 10  2005 noowner.txt", false, "noowner.txt", 42, at(2005, 1, 10),
         "", ""},
        // a year after one blank keeps the whole name; a name may begin with a blank
        {"-rw-r--r-- 1 ftp ftp 42 Jan 10 2005 a.txt", false, "a.txt", 42, at(2005, 1, 10)},
        {"-rw-r--r-- 1 ftp ftp 42 Jan  1 2005 b.txt", false, "b.txt", 42, at(2005, 1, 1)},
        {"-rw-r--r-- 1 ftp ftp 42 Jan 10 09:15  lead", false, " lead", 42, at(2026, 1, 10, 9, 15)},
        {"-rw-r--r-- 1 ftp ftp 42 Jan  1 00:0 short-minute", false, "short-minute", 42,
         at(2026, 1, 1, 0, 0)},
        // Russian month names, genitive and abbreviated, the day first
        {"-rw-r--r--   1 user  group  1024 23 мая 2011 отчёт.txt", false, "отчёт.txt", 1024,
         at(2011, 5, 23)},
        {"drwxr-xr-x 2 user group 4096 19 окт 2011 архив", true, "архив", 4096, at(2011, 10, 19)},
        {"-rw-r--r-- 1 user group 7 3 янв. 10:05 x", false, "x", 7, at(2026, 1, 3, 10, 5)},
        // Japanese and Chinese dates, padded to their columns
        {"-rw-r--r--   1 user  group   512  6月 3日 2003年 old.txt", false, "old.txt", 512,
         at(2003, 6, 3)},
        {"drwxr-xr-x   2 user  group  4096  8月 17日 20:10 docs", true, "docs", 4096,
         at(2026, 8, 17, 20, 10)},
        {"-rw-r--r-- 1 user group 9  3月 2 15:13 notes", false, "notes", 9, at(2026, 3, 2, 15, 13)},
        // a long group runs into the size; a link's target into the month
        {"-rw-r--r--   1 ftpadmin ftpadmin125435904 Nov 23  2010 backup.tgz", false, "backup.tgz",
         125435904, at(2010, 11, 23), "ftpadmin", "ftpadmin"},
        {"lrwxrwxrwx   1 user     group          20 /t11/member/incomingFeb  8  2007 Shortcut "
         "to incoming.lnk -> /t11/member/incoming",
         false, "Shortcut to incoming.lnk", 20, at(2007, 2, 8), "user", "group",
         "/t11/member/incoming"},
    };
    checkRows(rows, ftp::ReadUnixLine);
}

TEST(UnixListingLines, UnreadableLines) {
    const char* const lines[] = {
        "-rw-r--r-- 1 ftp ftp 7x Mar 15 12:34 size", // size not a number
        "-rw-r--r-- 1 ftp ftp 7 Feb 30 12:34 date",  // no such day
        "-rw-r--r-- 1 ftp ftp 7 Mar 15 25:34 time",  // no such hour
        "-rw-r--r-- 1 ftp ftp 99999999999999999999 Mar 15 12:34 overflow",
        "-rw-r--r-- 1 ftp ftp 7 13月 2 15:13 month",          // no such month
        "-rw-r--r-- 1 ftpadmin ftp125435904 Nov 23  2010 x",  // a short group is no glued one
        "-rw-r--r-- 1 ftp ftp 7 /t11/incomingFeb  8  2007 x", // a target only in a link
    };
    checkRefused(lines, ftp::ReadUnixLine);
}

TEST(UnixListingLines, DateStartPosition) {
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a"), 24);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 ftp ftp 7 MAR 15 12:34 a"), 24);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("03-15-06  12:34PM       <DIR>  Docs"), 0);
    EXPECT_EQ(CFtpClient::GetDateStartPosition(" mar 15 12:34 at the start"), 0);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("x 7 jan"), 0);
    // The leftmost date, however many months the name holds.
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 u g 3 Mar 15 12:34 Jan  1  2020 x"),
              20);
}

TEST(UnixListingLines, UnixDates) {
    EXPECT_DOUBLE_EQ(CFtpClient::ParseUnixDate("Mar  5 09:15", 2020).days, at(2020, 3, 5, 9, 15));
    EXPECT_DOUBLE_EQ(CFtpClient::ParseUnixDate("Feb 29  2024").days, at(2024, 2, 29));
    EXPECT_ANY_THROW(CFtpClient::ParseUnixDate("Feb 29  2023"));
    EXPECT_ANY_THROW(CFtpClient::ParseUnixDate("Foo 29  2023"));
}

} // namespace
