#pragma once
// The reader of Unix long-listing lines ("-rw-r--r-- 1 ftp ftp 7 Mar 15
// 12:34 name").

#include "ftp/listing_entry.h"

#include <cstddef>
#include <optional>
#include <string>

namespace ftp {

// The entry of a Unix line (carriage returns already removed); nothing
// when the line cannot be read as one. A date with a time instead of a
// year is read against `now`.
std::optional<ListingEntry> ReadUnixLine(const std::string& line, const ListingTime& now);

// Where the date of a Unix line starts (its first field), 0-based: the leftmost date that follows a
// size field; nothing when the line has none.
std::optional<std::size_t> UnixDateStart(const std::string& line);

// A date field in one of the forms of ftp/listing_unix_date.h ("Mar  5
// 09:15", "Dec 31  2004", "2012-02-07 00:31", "23 мая 2011", "6月 3日
// 2003年"). A time instead of a year means this year of `now`, or the year
// before when this year would put the date more than a day after `now`.
// Throws when the field is not such a date.
Date ReadUnixDate(const std::string& field, const ListingTime& now);

} // namespace ftp
