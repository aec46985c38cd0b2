// The listing parser on Unix and DOS lines.
#include "ftp/ftp_client.h"

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
             "-rw-r--r-- 1 ftp ftp 7x Mar 15 12:34 size\n",   // size not a number
             "-rw-r--r-- 1 ftp ftp 7 Feb 30 12:34 date\n",    // no such day
             "-rw-r--r-- 1 ftp ftp 7 Mar 15 25:34 time\n",    // no such hour
             "-rw-r--r-- 1 mar staff 7 Mar 15 12:34 owner\n", // owner like a month
             "13-15-06  01:02AM                 1234 month\n",
             "03-15-06  01:02XM                 1234 half\n",
             "just some words\n",
             "-rw-r--r-- 1 ftp ftp 99999999999999999999 Mar 15 12:34 overflow\n",
         }) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(parse(good));
        EXPECT_FALSE(parse(good + bad));
    }
}

TEST(ParseListing, DateStartPosition) {
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a"), 24);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("-rw-r--r-- 1 ftp ftp 7 MAR 15 12:34 a"), 24);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("03-15-06  12:34PM       <DIR>  Docs"), 0);
    EXPECT_EQ(CFtpClient::GetDateStartPosition(" mar 15 12:34 at the start"), 0);
    EXPECT_EQ(CFtpClient::GetDateStartPosition("x 7 jan"), 0);
}

TEST(ParseListing, UnixDates) {
    EXPECT_DOUBLE_EQ(CFtpClient::ParseUnixDate("Mar  5 09:15", 2020).days, at(2020, 3, 5, 9, 15));
    EXPECT_DOUBLE_EQ(CFtpClient::ParseUnixDate("Feb 29  2024").days, at(2024, 2, 29));
    EXPECT_ANY_THROW(CFtpClient::ParseUnixDate("Feb 29  2023"));
    EXPECT_ANY_THROW(CFtpClient::ParseUnixDate("Foo 29  2023"));
}

} // namespace
