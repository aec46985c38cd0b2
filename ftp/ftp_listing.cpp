// The listing parser: Unix long listings and DOS listings into entries.
//
// A line that starts with a DOS date (MM-DD-YY or MM-DD-YYYY) is a DOS line,
// read field by field: date, time, "<DIR>" or size, name. Any other line
// must hold a Unix date: the leftmost month abbreviation (or long-iso date)
// that follows the size field and is followed by a day and a time or year.
// Whatever cannot be read that way fails the whole listing.
#include "ftp/ftp_listing.h"

#include "ftp/ftp_client.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct BadLine : std::runtime_error {
    BadLine() : std::runtime_error("unreadable listing line") {}
};

char lowerChar(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string lower(std::string text) {
    for (char& c : text)
        c = lowerChar(c);
    return text;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* const Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                              "jul", "aug", "sep", "oct", "nov", "dec"};

constexpr std::int64_t Largest = std::numeric_limits<std::int64_t>::max();

// A whole decimal number, digits only, up to `limit`.
std::int64_t toNumber(const std::string& text, std::int64_t limit) {
    if (text.empty())
        throw BadLine();
    std::int64_t value = 0;
    for (char c : text) {
        if (!isDigit(c) || value > (limit - (c - '0')) / 10)
            throw BadLine();
        value = value * 10 + (c - '0');
    }
    return value;
}

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Minutes since 1 January 1970 of a date, the day not checked.
std::int64_t minutesOf(int year, int month, int day, int hour, int minute) {
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 1440 +
           hour * 60 + minute;
}

// A checked calendar date and time of day as days since 30 December 1899.
Date makeDate(int year, int month, int day, int hour, int minute) {
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59)
        throw BadLine();
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > lengths[month - 1] + (month == 2 && leap ? 1 : 0))
        throw BadLine();
    const std::int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
        daysFromCivil(1899, 12, 30);
    return Date{static_cast<double>(days) + (hour * 60 + minute) / 1440.0};
}

// The moment a listing read with only a year is read at: the year's last
// minute, so that no date of that year lies ahead of it.
ListingTime endOfYear(int year) {
    return ListingTime{year, 12, 31, 23, 59};
}

ListingTime momentFor(int currentYear) {
    return currentYear != 0 ? endOfYear(currentYear) : ListingTimeNow();
}

// "H:MM" or "HH:MM" as hour and minute.
void readTime(const std::string& text, int& hour, int& minute) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 1 || colon > 2 || text.size() != colon + 3)
        throw BadLine();
    hour = static_cast<int>(toNumber(text.substr(0, colon), 99));
    minute = static_cast<int>(toNumber(text.substr(colon + 1), 99));
}

std::vector<std::string> splitSpaces(const std::string& text) {
    std::vector<std::string> items;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', at);
        if (start == std::string::npos)
            break;
        const std::size_t end = text.find(' ', start);
        items.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        at = end == std::string::npos ? text.size() : end;
    }
    return items;
}

std::size_t skipBlanks(const std::string& text, std::size_t at) {
    while (at < text.size() && text[at] == ' ')
        ++at;
    return at;
}

// The end of the run of `count` digits or fewer (at least one) at `at`;
// npos when there is none.
std::size_t digitsEnd(const std::string& text, std::size_t at, std::size_t fewest,
                      std::size_t most) {
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end]) && end - at < most)
        ++end;
    if (end - at < fewest || (end < text.size() && isDigit(text[end])))
        return std::string::npos;
    return end;
}

// --- Unix dates ------------------------------------------------------------------

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

Date readUnixDate(const std::string& field, const ListingTime& now) {
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

void readUnixLine(const std::string& line, const DateSpan& date, CFtpFile& file,
                  const ListingTime& now) {
    file.setIsDirectory(line[0] == 'd');
    file.setLastWriteTime(readUnixDate(line.substr(date.start, date.end - date.start), now));

    // The name starts one blank after the date's last field.
    const std::string rest = date.end + 1 < line.size() ? line.substr(date.end + 1) : "";
    const std::size_t arrow = line[0] == 'l' ? rest.find(" -> ") : std::string::npos;
    if (arrow != std::string::npos) {
        file.setFileName(rest.substr(0, arrow));
        file.setFilePath(rest.substr(arrow + 4));
    } else {
        file.setFileName(rest);
    }

    // The size: the field that ends just before the blank in front of the date.
    const std::size_t sizeEnd = date.start - 1;
    const std::size_t space = line.rfind(' ', sizeEnd - 1);
    if (space == std::string::npos)
        throw BadLine();
    std::vector<std::string> items = splitSpaces(line.substr(0, space + 1));
    file.setFileSize(readUnixSize(line.substr(space + 1, sizeEnd - space - 1), items));

    // Permissions, link count and, when the server shows them, owner and group.
    if (items.size() < 2)
        throw BadLine();
    file.setPermissions(items[0]);
    if (items.size() >= 3)
        file.setOwner(items[2]);
    if (items.size() == 4)
        file.setGroup(items[3]);
}

// --- DOS lines -------------------------------------------------------------------

// Two-digit years of DOS listings: 70..99 are 1970..1999, 00..69 are 2000..2069.
int dosYear(int twoDigits) {
    return twoDigits >= 70 ? 1900 + twoDigits : 2000 + twoDigits;
}

// "03-15-06" or "05-26-1995" at the start, followed by a blank: the end of
// the date, npos if the line does not start so.
std::size_t dosDateEnd(const std::string& line) {
    if (digitsEnd(line, 0, 2, 2) != 2 || line.size() < 8 || line[2] != '-' ||
        digitsEnd(line, 3, 2, 2) != 5 || line[5] != '-')
        return std::string::npos;
    const std::size_t end = digitsEnd(line, 6, 2, 4);
    return (end == 8 || end == 10) && end < line.size() && line[end] == ' ' ? end
                                                                            : std::string::npos;
}

// Columns of the padded DOS layout ("03-15-06  01:02AM" and the size right
// aligned before column 39): there the name starts at column 40 and keeps
// any blanks it starts with.
constexpr std::size_t PaddedTimeEnd = 17;
constexpr std::size_t PaddedNameStart = 39;

// Date, time ("12:34PM", or "06:38" on a 24-hour clock), "<DIR>" or the
// size, then the name after the run of blanks that follows.
void readDosLine(const std::string& line, CFtpFile& file) {
    const std::size_t dateEnd = dosDateEnd(line);
    if (dateEnd == std::string::npos)
        throw BadLine();
    const int month = static_cast<int>(toNumber(line.substr(0, 2), 99));
    const int day = static_cast<int>(toNumber(line.substr(3, 2), 99));
    const int digits = static_cast<int>(toNumber(line.substr(6, dateEnd - 6), 9999));
    const int year = dateEnd == 8 ? dosYear(digits) : digits;

    const std::size_t timeStart = skipBlanks(line, dateEnd);
    const std::size_t timeStop = std::min(line.find(' ', timeStart), line.size());
    std::string time = lower(line.substr(timeStart, timeStop - timeStart));
    const bool twelveHour = time.ends_with("am") || time.ends_with("pm");
    const bool afternoon = time.ends_with("pm");
    if (twelveHour)
        time.resize(time.size() - 2);
    int hour = 0, minute = 0;
    readTime(time, hour, minute);
    if (twelveHour) {
        if (hour < 1 || hour > 12)
            throw BadLine();
        hour = hour % 12 + (afternoon ? 12 : 0);
    }
    file.setLastWriteTime(makeDate(year, month, day, hour, minute));

    const std::size_t fieldStart = skipBlanks(line, timeStop);
    const std::size_t fieldEnd = std::min(line.find(' ', fieldStart), line.size());
    const std::string field = line.substr(fieldStart, fieldEnd - fieldStart);
    if (field == "<DIR>")
        file.setIsDirectory(true);
    else
        file.setFileSize(toNumber(field, Largest));

    const bool padded = twelveHour && dateEnd == 8 && timeStop == PaddedTimeEnd &&
                        fieldEnd < PaddedNameStart && line.size() > PaddedNameStart &&
                        line.find_first_not_of(' ', fieldEnd) >= PaddedNameStart;
    const std::size_t name = padded ? PaddedNameStart : skipBlanks(line, fieldEnd);
    file.setFileName(name < line.size() ? line.substr(name) : std::string());
}

// --- the listing -----------------------------------------------------------------

// The entry of one line, carriage returns removed; throws if it cannot be read.
std::shared_ptr<CFtpFile> readLine(std::string line, const ListingTime& now) {
    std::erase(line, '\r');
    auto file = CFtpFile::create();
    const std::optional<DateSpan> date =
        dosDateEnd(line) == std::string::npos ? findDate(line) : std::nullopt;
    if (date && date->start >= 10)
        readUnixLine(line, *date, *file, now);
    else
        readDosLine(line, *file);
    return file;
}

// The lines of a listing with an entry each: a first line "total ..." is
// skipped, a line of carriage returns only too, and a blank line ends the
// listing. `visit(start, line)` is called for each; false stops the walk.
template <class Visit> void walkListing(const std::string& text, Visit&& visit) {
    std::size_t start = 0;
    if (text.size() >= 5 && lower(text.substr(0, 5)) == "total") {
        const std::size_t end = text.find('\n');
        if (end != std::string::npos)
            start = end + 1;
    }
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::size_t lineStart = start;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            break; // a blank line ends the listing
        if (line.find_first_not_of('\r') == std::string::npos)
            continue; // a line of CR LF only is skipped
        if (!visit(lineStart, std::move(line)))
            return;
    }
}

// Reads every line of `text`; returns false at the first line it cannot
// read, which is then left in `bad`. `read(start)` is called for each line
// that was read.
template <class Read>
bool readListing(const std::string& text, const ListingTime& now, std::string& bad, Read&& read) {
    bool ok = true;
    walkListing(text, [&](std::size_t start, std::string line) {
        try {
            readLine(line, now);
        } catch (const std::exception&) {
            std::erase(line, '\r');
            bad = std::move(line);
            ok = false;
            return false;
        }
        read(start);
        return true;
    });
    return ok;
}

// A listing's text as the source of its entries.
class ListingSource : public CFtpFileSource {
public:
    ListingSource(std::shared_ptr<const std::string> text, const ListingTime& now)
        : m_text(std::move(text)), m_now(now) {}
    std::shared_ptr<CFtpFile> read(std::uint64_t lineStart) const override {
        const std::size_t start = static_cast<std::size_t>(lineStart);
        const std::size_t end = std::min(m_text->find('\n', start), m_text->size());
        return readLine(m_text->substr(start, end - start), m_now);
    }

private:
    std::shared_ptr<const std::string> m_text;
    ListingTime m_now;
};

} // namespace

ListingTime ListingTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return ListingTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min};
}

std::shared_ptr<CFtpFiles> ParseListingAt(std::shared_ptr<const std::string> text,
                                          const ListingTime& now) {
    try {
        std::size_t lines = 0;
        walkListing(*text, [&](std::size_t, const std::string&) { return ++lines, true; });
        auto files = CFtpFiles::create(std::make_shared<ListingSource>(text, now));
        files->reserve(lines);
        std::string bad;
        return readListing(*text, now, bad, [&](std::size_t start) { files->AddLine(start); })
                   ? files
                   : nullptr;
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<CFtpFiles> ParseListingAt(const std::string& text, const ListingTime& now) {
    return ParseListingAt(std::make_shared<const std::string>(text), now);
}

std::optional<std::string> FirstUnreadableListingLine(const std::string& text,
                                                      const ListingTime& now) {
    std::string bad;
    if (readListing(text, now, bad, [](std::size_t) {}))
        return std::nullopt;
    return bad;
}

std::int32_t CFtpClient::GetDateStartPosition(const std::string& line) {
    const std::optional<DateSpan> date = findDate(line);
    if (!date || date->start >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    return static_cast<std::int32_t>(date->start + 1);
}

Date CFtpClient::ParseUnixDate(const std::string& field, int currentYear) {
    return readUnixDate(field, momentFor(currentYear));
}

std::shared_ptr<CFtpFiles> CFtpClient::ParseListing(const std::string& listing, int currentYear) {
    return ParseListingAt(listing, momentFor(currentYear));
}
