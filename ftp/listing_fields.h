#pragma once
// The pieces the listing readers share: blanks, digits, numbers, times of
// day and checked calendar dates. A field that cannot be read throws
// `BadLine`, which a reader turns into "this line cannot be read".

#include "net/variant.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace ftp::listing {

struct BadLine : std::runtime_error {
    BadLine() : std::runtime_error("unreadable listing line") {}
};

inline constexpr std::int64_t Largest = std::numeric_limits<std::int64_t>::max();

char lowerChar(char c);
std::string lower(std::string text);
bool isDigit(char c);
bool allDigits(const std::string& text);

// A whole decimal number, digits only, up to `limit`.
std::int64_t toNumber(const std::string& text, std::int64_t limit);

// The fields of `text` between runs of blanks.
std::vector<std::string> splitSpaces(const std::string& text);
// The first position at or after `at` that is not a blank.
std::size_t skipBlanks(const std::string& text, std::size_t at);
// The end of the run of `fewest` to `most` digits at `at`, that no digit
// follows; npos when there is none.
std::size_t digitsEnd(const std::string& text, std::size_t at, std::size_t fewest,
                      std::size_t most);

// "H:MM" or "HH:MM" as hour and minute (not checked against the clock).
void readTime(const std::string& text, int& hour, int& minute);

// Minutes since 1 January 1970 of a date, the day not checked.
std::int64_t minutesOf(int year, int month, int day, int hour, int minute);
// A checked calendar date and time of day as days since 30 December 1899.
Date makeDate(int year, int month, int day, int hour, int minute);

} // namespace ftp::listing
