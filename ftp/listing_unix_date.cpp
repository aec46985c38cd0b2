// The date forms of Unix listing lines, each read field by field from its
// first character. A field ends at a blank, a carriage return or the end of
// the line; the name follows one blank after the last field.
#include "ftp/listing_unix_date.h"

#include "ftp/listing_fields.h"

#include <algorithm>
#include <string_view>

namespace ftp::listing {

namespace {

constexpr std::size_t None = std::string::npos;

const char* const EnglishMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                     "jul", "aug", "sep", "oct", "nov", "dec"};

// Russian month names as servers print them: the genitive ("23 мая") and
// the abbreviations, either of which may end in a full stop.
struct MonthName {
    std::string_view name;
    int month;
};
constexpr MonthName RussianMonths[] = {
    {"января", 1},  {"февраля", 2},  {"марта", 3},   {"апреля", 4},   {"мая", 5},
    {"июня", 6},    {"июля", 7},     {"августа", 8}, {"сентября", 9}, {"октября", 10},
    {"ноября", 11}, {"декабря", 12}, {"янв", 1},     {"фев", 2},      {"мар", 3},
    {"апр", 4},     {"май", 5},      {"июн", 6},     {"июл", 7},      {"авг", 8},
    {"сен", 9},     {"сент", 9},     {"окт", 10},    {"ноя", 11},     {"дек", 12},
};

constexpr std::string_view MonthSign = "月";
constexpr std::string_view DaySign = "日";
constexpr std::string_view YearSign = "年";

bool fieldEnds(const std::string& line, std::size_t at) {
    return at == line.size() || line[at] == ' ' || line[at] == '\r';
}

bool startsWith(const std::string& line, std::size_t at, std::string_view text) {
    return line.compare(at, text.size(), text) == 0;
}

// The value of the digits from `from` to `to` (at most four, checked by the caller).
int number(const std::string& line, std::size_t from, std::size_t to) {
    int value = 0;
    for (std::size_t i = from; i < to; ++i)
        value = value * 10 + (line[i] - '0');
    return value;
}

// "H:MM", "HH:MM" or, from servers that drop a leading zero, "HH:M" at
// `at`, ending the field; the end, or None.
std::size_t clockAt(const std::string& line, std::size_t at, UnixDate& date) {
    const std::size_t colon = digitsEnd(line, at, 1, 2);
    if (colon == None || colon >= line.size() || line[colon] != ':')
        return None;
    const std::size_t end = digitsEnd(line, colon + 1, 1, 2);
    if (end == None || !fieldEnds(line, end))
        return None;
    date.hour = number(line, at, colon);
    date.minute = number(line, colon + 1, end);
    return end;
}

// A four-digit year (followed by `sign`, when given) or a time at `at`.
std::size_t yearOrClockAt(const std::string& line, std::size_t at, UnixDate& date,
                          std::string_view sign = {}) {
    std::size_t year = digitsEnd(line, at, 4, 4);
    if (year != None && !sign.empty() && startsWith(line, year, sign))
        year += sign.size();
    if (year != None && fieldEnds(line, year)) {
        date.year = number(line, at, at + 4);
        return year;
    }
    return clockAt(line, at, date);
}

// The day, one or two digits from `at`, and the blanks after it: where the
// next field starts, or None.
std::size_t dayAt(const std::string& line, std::size_t at, UnixDate& date,
                  std::string_view sign = {}) {
    std::size_t end = digitsEnd(line, at, 1, 2);
    if (end == None)
        return None;
    date.day = number(line, at, end);
    if (!sign.empty() && startsWith(line, end, sign))
        end += sign.size();
    if (end >= line.size() || line[end] != ' ')
        return None;
    return skipBlanks(line, end);
}

// "Mar  5 09:15", "Oct 2 10:59" or "Dec 31  2004".
std::size_t englishAt(const std::string& line, std::size_t at, UnixDate& date) {
    if (at + 4 > line.size() || line[at + 3] != ' ')
        return None;
    const char month[] = {lowerChar(line[at]), lowerChar(line[at + 1]), lowerChar(line[at + 2])};
    const auto found =
        std::find_if(std::begin(EnglishMonths), std::end(EnglishMonths),
                     [&](const char* name) { return std::equal(month, month + 3, name); });
    if (found == std::end(EnglishMonths))
        return None;
    date.month = static_cast<int>(found - std::begin(EnglishMonths)) + 1;
    const std::size_t last = dayAt(line, skipBlanks(line, at + 3), date);
    return last == None ? None : yearOrClockAt(line, last, date);
}

// "2012-02-07 00:31".
std::size_t isoAt(const std::string& line, std::size_t at, UnixDate& date) {
    if (digitsEnd(line, at, 4, 4) != at + 4 || at + 10 >= line.size() || line[at + 4] != '-' ||
        digitsEnd(line, at + 5, 2, 2) != at + 7 || line[at + 7] != '-' ||
        digitsEnd(line, at + 8, 2, 2) != at + 10 || line[at + 10] != ' ')
        return None;
    date.year = number(line, at, at + 4);
    date.month = number(line, at + 5, at + 7);
    date.day = number(line, at + 8, at + 10);
    const std::size_t end = clockAt(line, skipBlanks(line, at + 10), date);
    if (end != None && date.year == 0)
        return None; // year 0 stands for "no year"
    return end;
}

// "23 мая 2011", "19 окт. 10:59".
std::size_t russianAt(const std::string& line, std::size_t at, UnixDate& date) {
    const std::size_t name = dayAt(line, at, date);
    if (name == None)
        return None;
    for (const MonthName& month : RussianMonths) {
        if (!startsWith(line, name, month.name))
            continue;
        std::size_t end = name + month.name.size();
        if (end < line.size() && line[end] == '.')
            ++end;
        if (end >= line.size() || line[end] != ' ')
            continue;
        date.month = month.month;
        return yearOrClockAt(line, skipBlanks(line, end), date);
    }
    return None;
}

// "6月 3日 2003年", "8月 17日 20:10", "3月 2 15:13".
std::size_t monthSignAt(const std::string& line, std::size_t at, UnixDate& date) {
    const std::size_t sign = digitsEnd(line, at, 1, 2);
    if (sign == None || !startsWith(line, sign, MonthSign))
        return None;
    date.month = number(line, at, sign);
    const std::size_t last = skipBlanks(line, sign + MonthSign.size());
    if (last == sign + MonthSign.size())
        return None; // the day is a field of its own
    const std::size_t next = dayAt(line, last, date, DaySign);
    return next == None ? None : yearOrClockAt(line, next, date, YearSign);
}

} // namespace

std::optional<UnixDate> DateAt(const std::string& line, std::size_t at, DateForms forms) {
    if (at >= line.size())
        return std::nullopt;
    UnixDate date;
    std::size_t end = None;
    const bool numberFirst = isDigit(line[at]);
    if (forms != DateForms::NumberFirst && !numberFirst)
        end = englishAt(line, at, date);
    if (forms == DateForms::All && numberFirst)
        end = isoAt(line, at, date);
    if (forms != DateForms::EnglishOnly && numberFirst && end == None) {
        date = UnixDate{};
        end = russianAt(line, at, date);
        if (end == None) {
            date = UnixDate{};
            end = monthSignAt(line, at, date);
        }
    }
    if (end == None)
        return std::nullopt;
    date.start = at;
    date.end = end;
    return date;
}

Date DateOf(const UnixDate& fields, const ListingTime& now) {
    if (fields.month < 1 || fields.month > 12)
        throw BadLine();
    int year = fields.year;
    if (year == 0) {
        // No year: this year, unless that is more than a day ahead of now.
        year = now.year;
        if (minutesOf(year, fields.month, fields.day, fields.hour, fields.minute) >
            minutesOf(now.year, now.month, now.day, now.hour, now.minute) + 1440)
            --year;
    }
    return makeDate(year, fields.month, fields.day, fields.hour, fields.minute);
}

} // namespace ftp::listing
