// The fields and dates both listing readers read.
#include "ftp/listing_fields.h"

#include <algorithm>
#include <cctype>

namespace ftp::listing {

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

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

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

std::size_t digitsEnd(const std::string& text, std::size_t at, std::size_t fewest,
                      std::size_t most) {
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end]) && end - at < most)
        ++end;
    if (end - at < fewest || (end < text.size() && isDigit(text[end])))
        return std::string::npos;
    return end;
}

void readTime(const std::string& text, int& hour, int& minute) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 1 || colon > 2 || text.size() != colon + 3)
        throw BadLine();
    hour = static_cast<int>(toNumber(text.substr(0, colon), 99));
    minute = static_cast<int>(toNumber(text.substr(colon + 1), 99));
}

namespace {

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

} // namespace

std::int64_t minutesOf(int year, int month, int day, int hour, int minute) {
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 1440 +
           hour * 60 + minute;
}

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

} // namespace ftp::listing
