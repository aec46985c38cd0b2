#pragma once
// The shape of the listing readers' tables: a real server line and the
// entry it must give, checked through the line's own reader and through a
// whole listing of that line.
#include "ftp/ftp_client.h"
#include "ftp/ftp_listing.h"

#include <cmath>
#include <ctime>
#include <gtest/gtest.h>
#include <span>

namespace listing_rows {

constexpr int Year = 2026; // the year of dates that carry a time

// Days since 30 December 1899 for a date and time, for comparisons.
inline double at(int year, int month, int day, int hour = 0, int minute = 0) {
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

inline std::shared_ptr<CFtpFiles> parse(const std::string& text) {
    return CFtpClient::ParseListing(text, Year);
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

inline const ListingTime RowsReadAt{2026, 11, 20, 12, 0};

using Reader = std::optional<ftp::ListingEntry> (*)(const std::string&, const ListingTime&);

inline void checkRows(std::span<const Row> rows, Reader read) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        auto files = ParseListingAt(std::string(row.line) + "\r\n", RowsReadAt);
        const auto entry = read(row.line, RowsReadAt);
        if (!files || files->Count() != 1 || !entry) {
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
        // The reader by itself gives the same entry.
        EXPECT_EQ(entry->directory, file->IsDirectory());
        EXPECT_EQ(entry->name, file->FileName());
        EXPECT_EQ(entry->size, file->FileSize());
        EXPECT_EQ(entry->date, file->LastWriteTime());
        EXPECT_EQ(entry->path, file->FilePath());
        EXPECT_EQ(entry->permissions, file->Permissions());
        EXPECT_EQ(entry->owner, file->Owner());
        EXPECT_EQ(entry->group, file->Group());
    }
}

// Lines the reader refuses: each fails a whole listing, which names it.
inline void checkRefused(std::span<const char* const> lines, Reader read) {
    const std::string good = "-rw-r--r-- 1 ftp ftp 7 Mar 15 12:34 ok\n";
    for (const std::string line : lines) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(read(line, RowsReadAt).has_value());
        const std::string bad = line + "\n";
        EXPECT_TRUE(parse(good));
        EXPECT_FALSE(parse(good + bad));
        EXPECT_EQ(FirstUnreadableListingLine(good + bad + good), line);
    }
}

} // namespace listing_rows
