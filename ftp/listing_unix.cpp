// Unix long-listing lines. The line must hold a date: the leftmost month
// abbreviation (or long-iso date) that follows the size field and is
// followed by a day and a time or year. The size is the field before it,
// the permissions, link count, owner and group the fields before that, and
// the name starts one blank after the date.
#include "ftp/listing_unix.h"

#include "ftp/listing_fields.h"

#include <algorithm>
#include <vector>

namespace ftp {

using namespace listing;

namespace {

const char* const Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                              "jul", "aug", "sep", "oct", "nov", "dec"};

// Where a Unix date's fields lie in a line: from `start` (the month, or the
// year of a long-iso date) to `end`, one past its last field.
struct DateSpan {
    std::size_t start = 0;
    std::size_t end = 0;
};

bool fieldEnds(const std::string& line, std::size_t at) {
    return at == line.size() || line[at] == ' ' || line[at] == '\r';
}

// "H:MM" or "HH:MM" at `at`, ending the field; npos if there is none.
std::size_t timeEnd(const std::string& line, std::size_t at) {
    const std::size_t colon = digitsEnd(line, at, 1, 2);
    if (colon == std::string::npos || colon >= line.size() || line[colon] != ':')
        return std::string::npos;
    const std::size_t end = digitsEnd(line, colon + 1, 2, 2);
    return end != std::string::npos && fieldEnds(line, end) ? end : std::string::npos;
}

// "Mar  5 09:15", "Oct 2 10:59" or "Dec 31  2004" from `at` (the month).
std::size_t monthDateEnd(const std::string& line, std::size_t at) {
    if (at + 4 > line.size())
        return std::string::npos;
    const char month[] = {lowerChar(line[at]), lowerChar(line[at + 1]), lowerChar(line[at + 2])};
    if (std::none_of(std::begin(Months), std::end(Months),
                     [&](const char* name) { return std::equal(month, month + 3, name); }) ||
        line[at + 3] != ' ')
        return std::string::npos;
    const std::size_t day = skipBlanks(line, at + 3);
    const std::size_t dayEnd = digitsEnd(line, day, 1, 2);
    if (dayEnd == std::string::npos || dayEnd >= line.size() || line[dayEnd] != ' ')
        return std::string::npos;
    const std::size_t last = skipBlanks(line, dayEnd);
    const std::size_t year = digitsEnd(line, last, 4, 4);
    if (year != std::string::npos && fieldEnds(line, year))
        return year;
    return timeEnd(line, last);
}

// "2012-02-07 00:31" (long-iso) from `at`.
std::size_t isoDateEnd(const std::string& line, std::size_t at) {
    if (digitsEnd(line, at, 4, 4) != at + 4 || at + 10 >= line.size() || line[at + 4] != '-' ||
        digitsEnd(line, at + 5, 2, 2) != at + 7 || line[at + 7] != '-' ||
        digitsEnd(line, at + 8, 2, 2) != at + 10 || line[at + 10] != ' ')
        return std::string::npos;
    return timeEnd(line, skipBlanks(line, at + 10));
}

// The leftmost date that follows a size field (a digit and one blank
// before it); none when the line has none.
std::optional<DateSpan> findDate(const std::string& line) {
    for (std::size_t at = 2; at < line.size(); ++at) {
        if (line[at - 1] != ' ' || !isDigit(line[at - 2]))
            continue;
        std::size_t end = isDigit(line[at]) ? isoDateEnd(line, at) : monthDateEnd(line, at);
        if (end != std::string::npos)
            return DateSpan{at, end};
    }
    return std::nullopt;
}

// The size of a Unix line from its field before the date. A device shows
// its major and minor numbers instead ("109,767" or "8,   0"), and some
// servers a negative size: both list as 0. `items` are the fields before
// the size; a major number ending in a comma is taken out of them.
std::int64_t readUnixSize(const std::string& field, std::vector<std::string>& items) {
    if (!items.empty() && items.back().ends_with(',')) {
        items.pop_back();
        return 0;
    }
    if (field.find(',') != std::string::npos)
        return 0;
    if (field[0] == '-' && allDigits(field.substr(1)))
        return 0;
    return toNumber(field, Largest);
}

// The fields before the date start at the line's start: a date found
// within the first ten characters leaves no room for the permissions.
constexpr std::size_t FewestBeforeDate = 10;

} // namespace

Date ReadUnixDate(const std::string& field, const ListingTime& now) {
    const std::vector<std::string> items = splitSpaces(field);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (items.size() == 2) { // 2012-02-07 00:31
        const std::string& date = items[0];
        if (date.size() != 10 || date[4] != '-' || date[7] != '-')
            throw BadLine();
        year = static_cast<int>(toNumber(date.substr(0, 4), 9999));
        month = static_cast<int>(toNumber(date.substr(5, 2), 99));
        day = static_cast<int>(toNumber(date.substr(8, 2), 99));
        readTime(items[1], hour, minute);
        return makeDate(year, month, day, hour, minute);
    }
    if (items.size() != 3)
        throw BadLine();
    const std::string name = lower(items[0]);
    for (int i = 0; i < 12; ++i)
        if (name == Months[i])
            month = i + 1;
    if (month == 0 || items[1].size() > 2)
        throw BadLine();
    day = static_cast<int>(toNumber(items[1], 99));
    if (items[2].find(':') == std::string::npos) {
        if (items[2].size() != 4)
            throw BadLine();
        return makeDate(static_cast<int>(toNumber(items[2], 9999)), month, day, 0, 0);
    }
    readTime(items[2], hour, minute);
    // No year: this year, unless that is more than a day ahead of now.
    year = now.year;
    if (minutesOf(year, month, day, hour, minute) >
        minutesOf(now.year, now.month, now.day, now.hour, now.minute) + 1440)
        --year;
    return makeDate(year, month, day, hour, minute);
}

std::optional<std::size_t> UnixDateStart(const std::string& line) {
    const std::optional<DateSpan> date = findDate(line);
    if (!date)
        return std::nullopt;
    return date->start;
}

std::optional<ListingEntry> ReadUnixLine(const std::string& line, const ListingTime& now) {
    const std::optional<DateSpan> date = findDate(line);
    if (!date || date->start < FewestBeforeDate)
        return std::nullopt;
    try {
        ListingEntry entry;
        entry.directory = line[0] == 'd';
        entry.date = ReadUnixDate(line.substr(date->start, date->end - date->start), now);

        // The name starts one blank after the date's last field.
        const std::string rest = date->end + 1 < line.size() ? line.substr(date->end + 1) : "";
        const std::size_t arrow = line[0] == 'l' ? rest.find(" -> ") : std::string::npos;
        if (arrow != std::string::npos) {
            entry.name = rest.substr(0, arrow);
            entry.path = rest.substr(arrow + 4);
        } else {
            entry.name = rest;
        }

        // The size: the field that ends just before the blank in front of the date.
        const std::size_t sizeEnd = date->start - 1;
        const std::size_t space = line.rfind(' ', sizeEnd - 1);
        if (space == std::string::npos)
            return std::nullopt;
        std::vector<std::string> items = splitSpaces(line.substr(0, space + 1));
        entry.size = readUnixSize(line.substr(space + 1, sizeEnd - space - 1), items);

        // Permissions, link count and, when the server shows them, owner and group.
        if (items.size() < 2)
            return std::nullopt;
        entry.permissions = items[0];
        if (items.size() >= 3)
            entry.owner = items[2];
        if (items.size() == 4)
            entry.group = items[3];
        return entry;
    } catch (const BadLine&) {
        return std::nullopt;
    }
}

} // namespace ftp
