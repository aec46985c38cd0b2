// DOS listing lines, read field by field: date, time ("12:34PM", or
// "06:38" on a 24-hour clock), "<DIR>" or the size, then the name after
// the run of blanks that follows.
#include "ftp/listing_dos.h"

#include "ftp/listing_fields.h"

#include <algorithm>

namespace ftp {

using namespace listing;

namespace {

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
// aligned before column 39): there a file's name starts at column 40 and
// keeps any blanks it starts with. "<DIR>" is not aligned so: a
// directory's name starts after the blanks that follow it.
constexpr std::size_t PaddedTimeEnd = 17;
constexpr std::size_t PaddedNameStart = 39;

} // namespace

bool IsDosLine(const std::string& line) {
    return dosDateEnd(line) != std::string::npos;
}

std::optional<ListingEntry> ReadDosLine(const std::string& line) {
    const std::size_t dateEnd = dosDateEnd(line);
    if (dateEnd == std::string::npos)
        return std::nullopt;
    try {
        ListingEntry entry;
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
                return std::nullopt;
            hour = hour % 12 + (afternoon ? 12 : 0);
        }
        entry.date = makeDate(year, month, day, hour, minute);

        const std::size_t fieldStart = skipBlanks(line, timeStop);
        const std::size_t fieldEnd = std::min(line.find(' ', fieldStart), line.size());
        const std::string field = line.substr(fieldStart, fieldEnd - fieldStart);
        if (field == "<DIR>")
            entry.directory = true;
        else
            entry.size = toNumber(field, Largest);

        const bool padded = !entry.directory && twelveHour && dateEnd == 8 &&
                            timeStop == PaddedTimeEnd && fieldEnd < PaddedNameStart &&
                            line.size() > PaddedNameStart &&
                            line.find_first_not_of(' ', fieldEnd) >= PaddedNameStart;
        const std::size_t name = padded ? PaddedNameStart : skipBlanks(line, fieldEnd);
        entry.name = name < line.size() ? line.substr(name) : std::string();
        return entry;
    } catch (const BadLine&) {
        return std::nullopt;
    }
}

} // namespace ftp
