// Unix long-listing lines. The line must hold a date
// (ftp/listing_unix_date.h): the leftmost one that follows the size field.
// The size is the field before it, the permissions, link count, owner and
// group the fields before that, and the name starts one blank after the
// date.
#include "ftp/listing_unix.h"

#include "ftp/listing_fields.h"
#include "ftp/listing_unix_date.h"

#include <algorithm>
#include <vector>

namespace ftp {

using namespace listing;
using listing::DateForms;
using listing::UnixDate;

namespace {

constexpr std::size_t None = std::string::npos;

// Where a line's date lies, and where the size field before it ends. A
// link's target may run into the date's month ("...incomingFeb  8  2007"):
// then `target` is that text.
struct DateSpan {
    UnixDate date;
    std::size_t sizeEnd = 0;
    std::string target;
};

// A link's target run into the month: "... 20 /t11/incomingFeb  8  2007
// name". The text from the blank after the size up to the month is the
// target; the leftmost English month that has a date after it.
std::optional<DateSpan> findGluedTarget(const std::string& line) {
    std::size_t blank = None; // the last blank before `at`
    for (std::size_t at = 1; at < line.size(); ++at) {
        if (line[at - 1] == ' ') {
            blank = at - 1;
            continue;
        }
        const char c = lowerChar(line[at]);
        if (blank == None || blank == 0 || !isDigit(line[blank - 1]) || c < 'a' || c > 'z')
            continue;
        if (auto date = DateAt(line, at, DateForms::EnglishOnly))
            return DateSpan{*date, blank, line.substr(blank + 1, at - blank - 1)};
    }
    return std::nullopt;
}

// The leftmost date that follows a size field: a digit and one blank
// before it, or, for the forms that begin with a number, a digit and any
// run of blanks (servers pad those to columns). A link line without one
// may have its target run into the month.
std::optional<DateSpan> findDate(const std::string& line) {
    std::size_t lastField = None; // the last character before the blanks at `at`
    for (std::size_t at = 1; at < line.size(); ++at) {
        if (line[at - 1] != ' ') {
            lastField = at - 1;
            continue;
        }
        if (lastField == None || !isDigit(line[lastField]) || line[at] == ' ')
            continue;
        const DateForms forms = lastField + 2 == at ? DateForms::All : DateForms::NumberFirst;
        if (auto date = DateAt(line, at, forms))
            return DateSpan{*date, lastField + 1, std::string()};
    }
    if (line.starts_with('l'))
        return findGluedTarget(line);
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

// "-rw-r--r--", "drwxr-xr-x+" and the like.
bool isMode(const std::string& field) {
    static const std::string types = "-dlbcps", rights = "-rwxsStTl";
    return field.size() >= 10 && types.find(field[0]) != None &&
           std::all_of(field.begin() + 1, field.begin() + 10,
                       [](char c) { return rights.find(c) != None; });
}

// A group of eight characters or more runs into the size on some servers
// ("ftpadmin125435904"). Split where nothing else can be meant: the
// fields before are the permissions, a link count and the owner, and the
// field is a name that ends in digits. Returns the group's length, or 0.
constexpr std::size_t LongGroup = 8;
std::size_t gluedGroupLength(const std::string& field, const std::vector<std::string>& items) {
    if (items.size() != 3 || !isMode(items[0]) || !allDigits(items[1]))
        return 0;
    const std::size_t groupEnd = field.find_last_not_of("0123456789") + 1;
    return groupEnd >= LongGroup && groupEnd < field.size() && !isDigit(field[0]) ? groupEnd : 0;
}

// The fields before the date start at the line's start: a date found
// within the first ten characters leaves no room for the permissions.
constexpr std::size_t FewestBeforeDate = 10;

} // namespace

Date ReadUnixDate(const std::string& field, const ListingTime& now) {
    const std::size_t start = skipBlanks(field, 0);
    const std::optional<UnixDate> date = DateAt(field, start, DateForms::All);
    if (!date || field.find_first_not_of(' ', date->end) != None)
        throw BadLine();
    return DateOf(*date, now);
}

std::optional<std::size_t> UnixDateStart(const std::string& line) {
    const std::optional<DateSpan> span = findDate(line);
    if (!span)
        return std::nullopt;
    return span->date.start;
}

std::optional<ListingEntry> ReadUnixLine(const std::string& line, const ListingTime& now) {
    const std::optional<DateSpan> span = findDate(line);
    if (!span || span->date.start < FewestBeforeDate)
        return std::nullopt;
    try {
        ListingEntry entry;
        entry.directory = line[0] == 'd';
        entry.date = DateOf(span->date, now);

        // The name starts one blank after the date's last field.
        const std::size_t nameStart = span->date.end + 1;
        const std::string rest = nameStart < line.size() ? line.substr(nameStart) : "";
        const std::size_t arrow = line[0] == 'l' ? rest.find(" -> ") : None;
        if (arrow != None) {
            entry.name = rest.substr(0, arrow);
            entry.path = rest.substr(arrow + 4);
        } else {
            entry.name = rest;
            entry.path = span->target;
        }

        // The size: the field that ends where the blanks before the date begin.
        const std::size_t sizeEnd = span->sizeEnd;
        const std::size_t space = line.rfind(' ', sizeEnd - 1);
        if (space == None)
            return std::nullopt;
        std::vector<std::string> items = splitSpaces(line.substr(0, space + 1));
        const std::string field = line.substr(space + 1, sizeEnd - space - 1);
        if (const std::size_t group = gluedGroupLength(field, items)) {
            entry.size = toNumber(field.substr(group), Largest);
            items.push_back(field.substr(0, group));
        } else {
            entry.size = readUnixSize(field, items);
        }

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
