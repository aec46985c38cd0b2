// The reader of DOS listing lines.
#include "ftp/listing_dos.h"
#include "listing_rows.h"

namespace {

using namespace listing_rows;

std::optional<ftp::ListingEntry> readDos(const std::string& line, const ListingTime&) {
    return ftp::ReadDosLine(line);
}

TEST(DosListingLines, SampleLinesAndTheCenturyOfTwoDigitYears) {
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

TEST(DosListingLines, RealServerLinesOneRowPerVariant) {
    const Row rows[] = {
        // sizes wider than the column (the fixed columns misread both)
        {"05-22-97  12:08AM                  5000000000 AUTOEXEC.BAK", false, "AUTOEXEC.BAK",
         5000000000LL, at(1997, 5, 22, 0, 8)},
        {"05-22-97  12:08AM           12345678901 BIGFILE.ISO", false, "BIGFILE.ISO", 12345678901LL,
         at(1997, 5, 22, 0, 8)},
        {"03-15-06  01:02AM           4294967296 dos big", false, "dos big", 4294967296LL,
         at(2006, 3, 15, 1, 2)},
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
        {"03-15-06  01:02AM                 1234  lead", false, " lead", 1234,
         at(2006, 3, 15, 1, 2)},
        {"11-16-06  05:00PM       <DIR>           10 years and under", true, "10 years and under",
         0, at(2006, 11, 16, 17, 0)},
    };
    checkRows(rows, readDos);
}

TEST(DosListingLines, UnreadableLines) {
    const char* const lines[] = {
        "13-15-06  01:02AM                 1234 month",
        "03-15-06  01:02XM                 1234 half",
    };
    checkRefused(lines, readDos);
}

} // namespace
