// Machine listing lines: the facts up to the first blank, each "name=value"
// and ended by ";", and the name after that blank, kept whole.
#include "ftp/listing_mlsd.h"

#include "ftp/listing_fields.h"

#include <ctime>

namespace ftp {

using namespace listing;

namespace {

// "YYYYMMDDHHMMSS", perhaps followed by "." and a fraction of a second,
// as seconds since 1970; throws if it is no such time.
std::int64_t utcSeconds(const std::string& value) {
    const std::size_t dot = value.find('.');
    if (value.size() < 14 || (value.size() > 14 && (dot != 14 || !allDigits(value.substr(15)))))
        throw BadLine();
    const auto part = [&](std::size_t at, std::size_t length) {
        return static_cast<int>(toNumber(value.substr(at, length), 9999));
    };
    const int second = part(12, 2);
    if (second > 60)
        throw BadLine();
    const int year = part(0, 4), month = part(4, 2), day = part(6, 2), hour = part(8, 2),
              minute = part(10, 2);
    makeDate(year, month, day, hour, minute); // checks the day and the time of day
    return minutesOf(year, month, day, hour, minute) * 60 + second;
}

} // namespace

Date SystemLocalTime(std::int64_t utcSeconds) {
    const std::time_t moment = static_cast<std::time_t>(utcSeconds);
    std::tm parts{};
    if (!localtime_r(&moment, &parts))
        throw BadLine();
    const Date day = makeDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                              parts.tm_min);
    return Date{day.days + parts.tm_sec / 86400.0};
}

std::optional<MlsdLine> ReadMlsdLine(const std::string& line, LocalTimeOf local) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0 || blank + 1 >= line.size())
        return std::nullopt;
    try {
        MlsdLine result;
        ListingEntry& entry = result.entry;
        entry.name = line.substr(blank + 1);
        for (std::size_t at = 0; at < blank;) {
            const std::size_t end = std::min(line.find(';', at), blank);
            const std::size_t equals = line.find('=', at);
            if (equals == std::string::npos || equals == at || equals >= end)
                return std::nullopt;
            const std::string fact = lower(line.substr(at, equals - at));
            const std::string value = line.substr(equals + 1, end - equals - 1);
            if (fact == "type") {
                const std::string type = lower(value);
                entry.directory = type == "dir";
                result.listed = type != "cdir" && type != "pdir";
            } else if (fact == "size") {
                entry.size = toNumber(value, Largest);
            } else if (fact == "modify") {
                entry.date = local(utcSeconds(value));
            } else if (fact == "perm") {
                entry.permissions = value;
            }
            at = end + 1;
        }
        return result;
    } catch (const BadLine&) {
        return std::nullopt;
    }
}

} // namespace ftp
