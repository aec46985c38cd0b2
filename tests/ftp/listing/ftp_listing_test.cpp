// A listing's text into entries: its lines, the reader each line goes to,
// and the failure of the whole listing at one unreadable line. The lines
// of each format have their tables in listing_unix_test.cpp and
// listing_dos_test.cpp.
#include "listing_rows.h"

namespace {

using namespace listing_rows;

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

// Unix and DOS lines in one listing: each line goes to the reader of its format.
TEST(ParseListing, EachLineIsReadInItsOwnFormat) {
    auto files = parse("-rw-r--r-- 1 ftp ftp 2147483648 Mar 15 12:34 big\n"
                       "-rw-r--r-- 1 ftp ftp 1099511627776 Mar 15 12:34 huge\n"
                       "03-15-06  01:02AM           4294967296 dos big\n");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->Item(1)->FileSize(), 2147483648LL);
    EXPECT_EQ(files->Item(2)->FileSize(), 1099511627776LL);
    EXPECT_EQ(files->Item(3)->FileSize(), 4294967296LL);
    EXPECT_EQ(ReadListingLine("03-15-06  01:02AM  7 x", RowsReadAt).value().name, "x");
    EXPECT_EQ(ReadListingLine("-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 y", RowsReadAt).value().name,
              "y");
}

TEST(ParseListing, AnyUnreadableLineFailsTheWholeListing) {
    // Neither a DOS nor a Unix line; the lines each reader refuses are in
    // its own table.
    const char* const lines[] = {"just some words"};
    checkRefused(lines, ReadListingLine);
    const std::string good = "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 ok\n";
    EXPECT_EQ(FirstUnreadableListingLine(good + good), std::nullopt);
}

} // namespace
