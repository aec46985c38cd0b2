// The reader of machine listing (MLSD) lines.
#include "ftp/listing_mlsd.h"
#include "listing_rows.h"

#include <cstdlib>

namespace {

using namespace listing_rows;

// Times as UTC, so that the rows hold in any time zone.
Date utc(std::int64_t seconds) {
    return Date{seconds / 86400.0 + 25569};
}

TEST(MlsdListingLines, RealServerLinesOneRowPerVariant) {
    struct MlsdRow {
        const char* line;
        bool directory;
        const char* name;
        std::int64_t size;
        double date;
        const char* permissions;
    };
    const MlsdRow rows[] = {
        {"type=file;size=42;modify=20120207003100;perm=r; notes.txt", false, "notes.txt", 42,
         at(2012, 2, 7, 0, 31), "r"},
        {"Type=Dir;Modify=20231130170559.123;Perm=elcmp;UNIX.mode=0755; my  src ", true, "my  src ",
         0, at(2023, 11, 30, 17, 5) + 59 / 86400.0, "elcmp"},
        {"size=5497558138880;type=file;unique=801g4;x.unknown=a=b; disk.img", false, "disk.img",
         5497558138880LL, 0, ""},
        {"type=OS.unix=slink:/etc;perm=r; etc", false, "etc", 0, 0, "r"},
        {"type=file;modify=20241231235960;  name;with=odd chars", false, " name;with=odd chars", 0,
         at(2025, 1, 1), ""},
    };
    for (const MlsdRow& row : rows) {
        SCOPED_TRACE(row.line);
        const auto read = ftp::ReadMlsdLine(row.line, utc);
        ASSERT_TRUE(read);
        EXPECT_TRUE(read->listed);
        EXPECT_EQ(read->entry.directory, row.directory);
        EXPECT_EQ(read->entry.name, row.name);
        EXPECT_EQ(read->entry.size, row.size);
        EXPECT_NEAR(read->entry.date.days, row.date, 1e-9);
        EXPECT_EQ(read->entry.permissions, row.permissions);
    }
    for (const char* line : {"type=cdir;perm=el; /pub", "TYPE=pdir; .."})
        EXPECT_FALSE(ftp::ReadMlsdLine(line, utc).value().listed) << line;
}

TEST(MlsdListingLines, UnreadableLinesFailTheWholeListing) {
    const std::string good = "type=file;size=1; a\r\n";
    for (const std::string line : {
             "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 a", // a LIST line
             "type=file;size=12x; a",                 // size not a number
             "type=file;modify=20230230120000; a",    // no such day
             "type=file;modify=2023113017; a",        // time cut short
             "type=file;modify=20231130170500.x; a",  // fraction not a number
             "type=file;size=1;",                     // no name
             " a",                                    // no facts
             "type=file;=1; a",                       // a fact without a name
         }) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(ftp::ReadMlsdLine(line, utc));
        const std::string text = good + line + "\r\n" + good;
        EXPECT_FALSE(ParseMachineListing(std::make_shared<const std::string>(text)));
        EXPECT_EQ(FirstUnreadableMachineListingLine(text), line);
    }
    // The listing leaves out the directory and its parent, skips blank
    // lines and gives the times in the system's time zone (here UTC+5:30).
    const char* const zone = std::getenv("TZ");
    const std::string before = zone ? zone : "";
    ::setenv("TZ", "XST-5:30", 1);
    ::tzset();
    const std::string text = "type=cdir; .\r\ntype=pdir; ..\r\n\r\ntype=dir;modify=20200101120000; "
                             "d\r\n" +
                             good;
    const auto files = ParseMachineListing(std::make_shared<const std::string>(text));
    ASSERT_TRUE(files);
    ASSERT_EQ(files->Count(), 2);
    EXPECT_EQ(files->Item(1)->FileName(), "d");
    EXPECT_DOUBLE_EQ(files->Item(1)->LastWriteTime().days, at(2020, 1, 1, 17, 30));
    zone ? ::setenv("TZ", before.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(files->Item(2)->FileName(), "a");
    EXPECT_EQ(FirstUnreadableMachineListingLine(text), std::nullopt);
}

} // namespace
