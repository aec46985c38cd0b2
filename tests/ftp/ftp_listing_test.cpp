// The listing parser on Unix and DOS lines.
#include "ftp/ftp_client.h"
#include "ftp/ftp_listing.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr int Year = 2026; // the year of dates that carry a time

// Days since 30 December 1899 for a date and time, for comparisons.
double at(int year, int month, int day, int hour = 0, int minute = 0) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = 12;
    const std::time_t utc = timegm(&parts);
    std::tm base{};
    base.tm_year = -1;
    base.tm_mon = 11;
    base.tm_mday = 30;
    base.tm_hour = 12;
    const std::time_t origin = timegm(&base);
    return std::round((utc - origin) / 86400.0) + (hour * 60 + minute) / 1440.0;
}

std::shared_ptr<CFtpFiles> parse(const std::string& text) {
    return CFtpClient::ParseListing(text, Year);
}

TEST(ParseListing, UnixSampleLines) {
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

// One row per variant as real servers print it, read on 20 November 2026.
struct Row {
    const char* line;
    bool directory;
    const char* name;
    std::int64_t size;
    double date;
    const char* owner = nullptr; // nullptr: not checked
    const char* group = nullptr;
    const char* path = "";
};

TEST(ParseListing, RealServerLinesOneRowPerVariant) {
    const ListingTime now{2026, 11, 20, 12, 0};
    const Row rows[] = {
        // Unix: single blanks, one-digit days and hours, BSD and Solaris columns
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
        {"-rw-r--r-- 1 ftp ftp 5497558138880 Aug 14 21:40 disk.img", false, "disk.img",
         5497558138880LL, at(2026, 8, 14, 21, 40)},
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
        // Windows: sizes wider than the column (the fixed columns misread both)
        {"05-22-97  12:08AM                  5000000000 AUTOEXEC.BAK", false, "AUTOEXEC.BAK",
         5000000000LL, at(1997, 5, 22, 0, 8)},
        {"05-22-97  12:08AM           12345678901 BIGFILE.ISO", false, "BIGFILE.ISO", 12345678901LL,
         at(1997, 5, 22, 0, 8)},
        // four-digit years, 24-hour times (Windows CE), sizes out of the usual column
        {"05-26-1995  10:57AM               143712 README.TXT", false, "README.TXT", 143712,
         at(1995, 5, 26, 10, 57)},
        {"12-03-96  06:38  <DIR>  Windows", true, "Windows", 0, at(1996, 12, 3, 6, 38)},
        {"01-16-02  23:14  1536  my notes.txt", false, "my notes.txt", 1536,
         at(2002, 1, 16, 23, 14)},
        {"03-15-06  01:02AM  1234 report.txt", false, "report.txt", 1234, at(2006, 3, 15, 1, 2)},
        // names keep inner and trailing blanks, and leading ones where the columns show them
        {"03-15-06  01:02AM                 1234 two  blanks ", false, "two  blanks ", 1234,
         at(2006, 3, 15, 1, 2)},
        {"03-15-06  12:34PM       <DIR>           lead", true, " lead", 0, at(2006, 3, 15, 12, 34)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        auto files = ParseListingAt(std::string(row.line) + "\r\n", now);
        if (!files || files->Count() != 1) {
            ADD_FAILURE() << "not read";
            continue;
        }
        auto file = files->Item(1);
        EXPECT_EQ(file->IsDirectory(), row.directory);
        EXPECT_EQ(file->FileName(), row.name);
        EXPECT_EQ(file->FileSize(), row.size);
        EXPECT_DOUBLE_EQ(file->LastWriteTime().days, row.date);
        EXPECT_EQ(file->FilePath(), row.path);
        if (row.owner) {
            EXPECT_EQ(file->Owner(), row.owner);
        }
        if (row.group) {
            EXPECT_EQ(file->Group(), row.group);
        }
    }
}

TEST(ParseListing, DosSampleLinesAndTheCenturyOfTwoDigitYears) {
    auto files = parse("03-15-06  12:34PM       <DIR>          Docs\r\n"
                       "03-15-06  01:02AM                 1234 a b.txt\r\n"
                       "12-31-99  12:00AM                    1 old\r\n"
                       "01-01-70  11:59PM                    2 seventy\r\n"
                       "06-30-69  12:00PM                    3 sixty-nine\r\n");
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 5);
    EXPECT_EQ(files->Item(1)->FileName(), "Docs");
    EXPECT_TRUE(files->Item(1)->IsDirectory());
    EXPECT_EQ(files->Item(1)->FileSize(), 0);
    EXPECT_DOUBLE_EQ(files->Item(1)->LastWriteTime().days, at(2006, 3, 15, 12, 34));
    EXPECT_EQ(files->Item(2)->FileName(), "a b.txt");
    EXPECT_EQ(files->Item(2)->FileSize(), 1234);
    EXPECT_DOUBLE_EQ(files->Item(2)->LastWriteTime().days, at(2006, 3, 15, 1, 2));
    EXPECT_EQ(files->Item(2)->Permissions(), "");
    EXPECT_DOUBLE_EQ(files->Item(3)->LastWriteTime().days, at(1999, 12, 31, 0, 0));
    EXPECT_DOUBLE_EQ(files->Item(4)->LastWriteTime().days, at(1970, 1, 1, 23, 59));
    EXPECT_DOUBLE_EQ(files->Item(5)->LastWriteTime().days, at(2069, 6, 30, 12, 0));
}

TEST(ParseListing, TotalLineLineEndsAndBlankLines) {
    const std::string two = "drwxr-xr-x   2 ftp      ftp          4096 Mar  5 09:15 pub\r\n"
                            "-rw-r--r--   1 ftp      ftp        123456 Dec 31  2004 readme.txt\r\n";
    auto files = parse("total 2\r\n" + two);
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Count(), 2);
    EXPECT_EQ(files->Item(2)->FileName(), "readme.txt"); // no carriage return left

    // A line holding only a carriage return is skipped.
    files = parse("-rw-r--r-- 1 ftp ftp 1 Mar 15 12:34 a\r\n\r\n-rw-r--r-- 1 ftp ftp 2 Mar 15 "
                  "12:34 b\r\n");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Count(), 2);

    // A blank line with LF ends the listing; what came before stays.
    files = parse("-rw-r--r-- 1 ftp ftp 1 Mar 15 12:34 a\n\n-rw-r--r-- 1 ftp ftp 2 Mar 15 "
                  "12:34 b\n");
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 1);
    EXPECT_EQ(files->Item(1)->FileName(), "a");

    files = parse("");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Count(), 0);
    files = parse("total 0\n");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Count(), 0);
}

TEST(ParseListing, SizesBeyondTwoGibibytesAreRead) {
    auto files = parse("-rw-r--r-- 1 ftp ftp 2147483648 Mar 15 12:34 big\n"
                       "-rw-r--r-- 1 ftp ftp 1099511627776 Mar 15 12:34 huge\n"
                       "03-15-06  01:02AM           4294967296 dos big\n");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Item(1)->FileSize(), 2147483648LL);
    EXPECT_EQ(files->Item(2)->FileSize(), 1099511627776LL);
    EXPECT_EQ(files->Item(3)->FileSize(), 4294967296LL);
}

TEST(ParseListing, YearWithOneSpaceKeepsTheWholeName) {
    auto files = parse("-rw-r--r-- 1 ftp ftp 42 Jan 10 2005 a.txt\n"
                       "-rw-r--r-- 1 ftp ftp 42 Jan  1 2005 b.txt\n"
                       "-rw-r--r-- 1 ftp ftp 42 Jan 10 09:15  lead\n");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Item(1)->FileName(), "a.txt");
    EXPECT_DOUBLE_EQ(files->Item(1)->LastWriteTime().days, at(2005, 1, 10));
    EXPECT_EQ(files->Item(2)->FileName(), "b.txt");
    EXPECT_EQ(files->Item(3)->FileName(), " lead"); // a name may begin with a blank
}

TEST(ParseListing, AnyUnreadableLineFailsTheWholeListing) {
    const std::string good = "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 ok\n";
    for (const std::string bad : {
             "-rw-r--r-- 1 ftp ftp 7x Mar 15 12:34 size\n", // size not a number
             "-rw-r--r-- 1 ftp ftp 7 Feb 30 12:34 date\n",  // no such day
             "-rw-r--r-- 1 ftp ftp 7 Mar 15 25:34 time\n",  // no such hour
             "13-15-06  01:02AM                 1234 month\n",
             "03-15-06  01:02XM                 1234 half\n",
             "just some words\n",
             "-rw-r--r-- 1 ftp ftp 99999999999999999999 Mar 15 12:34 overflow\n",
         }) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(parse(good));
        EXPECT_FALSE(parse(good + bad));
        // The line that stopped it is named.
        EXPECT_EQ(FirstUnreadableListingLine(good + bad + good), bad.substr(0, bad.size() - 1));
    }
    EXPECT_EQ(FirstUnreadableListingLine(good + good), std::nullopt);
}

TEST(ParseListing, DateStartPosition) {
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a"), 24);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 ftp ftp 7 MAR 15 12:34 a"), 24);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("03-15-06  12:34PM       <DIR>  Docs"), 0);
    EXPECT_EQ(CFtpClient::GetDateStartPosition(" mar 15 12:34 at the start"), 0);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("x 7 jan"), 0);
    // The leftmost date, however many months the name holds.
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 u g 3 Mar 15 12:34 Jan  1  2020 x"),
              20);
}

TEST(ParseListing, UnixDates) {
    EXPECT_DOUBLE_EQ(CFtpClient::ParseUnixDate("Mar  5 09:15", 2020).days, at(2020, 3, 5, 9, 15));
    EXPECT_DOUBLE_EQ(CFtpClient::ParseUnixDate("Feb 29  2024").days, at(2024, 2, 29));
    EXPECT_ANY_THROW(CFtpClient::ParseUnixDate("Feb 29  2023"));
    EXPECT_ANY_THROW(CFtpClient::ParseUnixDate("Foo 29  2023"));
}

} // namespace
