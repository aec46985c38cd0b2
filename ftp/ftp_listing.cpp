// The listing parser: Unix long listings and DOS listings into entries.
#include "ftp/ftp_client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct BadLine : std::runtime_error {
    BadLine() : std::runtime_error("unreadable listing line") {}
};

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* const Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                              "jul", "aug", "sep", "oct", "nov", "dec"};

// A whole decimal number, digits only.
std::int64_t toNumber(const std::string& text, std::int64_t limit) {
    if (text.empty() || text.size() > 18)
        throw BadLine();
    std::int64_t value = 0;
    for (char c : text) {
        if (!isDigit(c))
            throw BadLine();
        value = value * 10 + (c - '0');
    }
    if (value > limit)
        throw BadLine();
    return value;
}

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
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

int yearNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return parts.tm_year + 1900;
}

// "HH:MM" as hour and minute.
void readTime(const std::string& text, int& hour, int& minute) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
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

// Two-digit years of DOS listings: 70..99 are 1970..1999, 00..69 are 2000..2069.
int dosYear(int twoDigits) {
    return twoDigits >= 70 ? 1900 + twoDigits : 2000 + twoDigits;
}

// "03-15-06  12:34PM": month, day and two-digit year, then a 12-hour time.
Date parseDosDate(const std::string& text) {
    const std::vector<std::string> items = splitSpaces(text);
    if (items.size() != 2 || items[0].size() != 8 || items[0][2] != '-' || items[0][5] != '-')
        throw BadLine();
    const int month = static_cast<int>(toNumber(items[0].substr(0, 2), 99));
    const int day = static_cast<int>(toNumber(items[0].substr(3, 2), 99));
    const int year = dosYear(static_cast<int>(toNumber(items[0].substr(6, 2), 99)));
    std::string time = lower(items[1]);
    if (time.size() < 3)
        throw BadLine();
    const std::string half = time.substr(time.size() - 2);
    if (half != "am" && half != "pm")
        throw BadLine();
    int hour = 0, minute = 0;
    readTime(time.substr(0, time.size() - 2), hour, minute);
    if (hour < 1 || hour > 12)
        throw BadLine();
    hour = hour % 12 + (half == "pm" ? 12 : 0);
    return makeDate(year, month, day, hour, minute);
}

// One Unix line: the date found at `month` (0-based).
void readUnixLine(const std::string& line, std::size_t month, CFtpFile& file, int currentYear) {
    file.setIsDirectory(line[0] == 'd');

    // Month, day and time-or-year, each set off by spaces. The name starts
    // one space after the time or year, however wide the day and year were
    // written.
    std::size_t at = line.find(' ', month);
    const std::size_t dayStart = line.find_first_not_of(' ', at);
    if (at == std::string::npos || dayStart == std::string::npos)
        throw BadLine();
    at = line.find(' ', dayStart);
    const std::size_t lastStart =
        at == std::string::npos ? std::string::npos : line.find_first_not_of(' ', at);
    if (lastStart == std::string::npos)
        throw BadLine();
    const std::size_t lastEnd = std::min(line.find(' ', lastStart), line.size());
    file.setLastWriteTime(
        CFtpClient::ParseUnixDate(line.substr(month, lastEnd - month), currentYear));
    const std::size_t namePosition = lastEnd + 1;
    const std::string rest = namePosition < line.size() ? line.substr(namePosition) : "";
    const std::size_t arrow = line[0] == 'l' ? rest.find(" -> ") : std::string::npos;
    if (arrow != std::string::npos) {
        file.setFileName(rest.substr(0, arrow));
        file.setFilePath(rest.substr(arrow + 4));
    } else {
        file.setFileName(rest);
    }

    // The size: the field just before the space in front of the month.
    if (month < 2)
        throw BadLine();
    const std::size_t sizeEnd = month - 2; // its last character
    const std::size_t space = line.rfind(' ', sizeEnd);
    if (space == std::string::npos || space == sizeEnd)
        throw BadLine();
    file.setFileSize(toNumber(line.substr(space + 1, sizeEnd - space),
                              std::numeric_limits<std::int64_t>::max()));

    // Permissions, link count, owner and, when there is one, group.
    const std::vector<std::string> items = splitSpaces(line.substr(0, space + 1));
    if (items.size() < 3)
        throw BadLine();
    file.setPermissions(items[0]);
    file.setOwner(items[2]);
    if (items.size() == 4)
        file.setGroup(items[3]);
}

void readDosLine(const std::string& line, CFtpFile& file) {
    file.setFileName(line.size() > 39 ? line.substr(39) : std::string());
    const std::string head = line.substr(0, 38);
    file.setLastWriteTime(parseDosDate(head.substr(0, 17)));
    if (head.find("<DIR>") != std::string::npos) {
        file.setIsDirectory(true);
        return;
    }
    if (head.size() <= 17)
        throw BadLine();
    std::string size = head.substr(17);
    const std::size_t first = size.find_first_not_of(' ');
    if (first == std::string::npos)
        throw BadLine();
    size = size.substr(first, size.find_last_not_of(' ') - first + 1);
    file.setFileSize(toNumber(size, std::numeric_limits<std::int64_t>::max()));
}

} // namespace

std::int32_t CFtpClient::GetDateStartPosition(const std::string& line) {
    const std::string text = lower(line);
    for (const char* month : Months) {
        const std::size_t p = text.find(std::string(" ") + month + " ");
        // A month needs a field before it and digits around it: the end of
        // the size, and the day, time or year after it.
        if (p == std::string::npos || p == 0 || p + 9 >= text.size())
            continue;
        if (isDigit(text[p - 1]) && isDigit(text[p + 9]))
            return static_cast<std::int32_t>(p + 2);
    }
    return 0;
}

Date CFtpClient::ParseUnixDate(const std::string& field, int currentYear) {
    const std::vector<std::string> items = splitSpaces(field);
    if (items.size() != 3)
        throw BadLine();
    int month = 0;
    const std::string name = lower(items[0]);
    for (int i = 0; i < 12; ++i)
        if (name == Months[i])
            month = i + 1;
    if (month == 0)
        throw BadLine();
    const int day = static_cast<int>(toNumber(items[1], 99));
    int year = 0, hour = 0, minute = 0;
    if (items[2].find(':') != std::string::npos) {
        readTime(items[2], hour, minute);
        year = currentYear != 0 ? currentYear : yearNow();
    } else {
        year = static_cast<int>(toNumber(items[2], 9999));
    }
    return makeDate(year, month, day, hour, minute);
}

std::shared_ptr<CFtpFiles> CFtpClient::ParseListing(const std::string& listing, int currentYear) {
    try {
        std::string text = listing;
        if (lower(text.substr(0, 5)) == "total") {
            const std::size_t end = text.find('\n');
            if (end != std::string::npos)
                text.erase(0, end + 1);
        }
        auto files = CFtpFiles::create();
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = text.find('\n', start);
            std::string line =
                text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? text.size() + 1 : end + 1;
            if (line.empty())
                break; // a blank line ends the listing
            const std::int32_t datePosition = GetDateStartPosition(line);
            std::erase(line, '\r');
            auto file = CFtpFile::create();
            if (datePosition > 10)
                readUnixLine(line, static_cast<std::size_t>(datePosition - 1), *file, currentYear);
            else if (!line.empty())
                readDosLine(line, *file);
            if (!line.empty())
                files->Add(file, file->FileName());
        }
        return files;
    } catch (...) {
        return nullptr;
    }
}
