#pragma once
// The date field of a Unix listing line in the forms servers print it:
// "Mar  5 09:15" and "Dec 31  2004", long-iso "2012-02-07 00:31", the day
// first with a Russian month name ("23 мая 2011", "19 окт 10:59"), and the
// Japanese and Chinese forms with 月/日/年 ("6月 3日 2003年", "8月 17日
// 20:10", "3月 2 15:13"). Names are UTF-8.

#include "ftp/listing_entry.h"

#include <cstddef>
#include <optional>
#include <string>

namespace ftp::listing {

// A date's fields as the line shows them, from `start` to `end` (one past
// its last field). `year` 0: the line shows a time instead of a year.
struct UnixDate {
    std::size_t start = 0;
    std::size_t end = 0;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
};

// Which forms a date may take where it is looked for.
enum class DateForms {
    All,
    NumberFirst, // the Russian and the 月 forms, which begin with a number
    EnglishOnly, // "Mar  5 09:15" and "Dec 31  2004"
};

// The date that starts at `at` in `line` in one of `forms`; nothing when
// none starts there.
std::optional<UnixDate> DateAt(const std::string& line, std::size_t at, DateForms forms);

// The date and time the fields stand for. A time instead of a year means
// this year of `now`, or the year before when this year would put the date
// more than a day after `now`. Throws BadLine when there is no such day.
Date DateOf(const UnixDate& fields, const ListingTime& now);

} // namespace ftp::listing
