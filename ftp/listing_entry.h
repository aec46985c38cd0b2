#pragma once
// What a listing reader gives for one line, and the moment it reads at.

#include "net/variant.h"

#include <cstdint>
#include <string>

// A local date and time of day: the moment a listing is read at.
struct ListingTime {
    int year = 0;
    int month = 1; // 1..12
    int day = 1;
    int hour = 0;
    int minute = 0;
};

namespace ftp {

// The fields of one listing line. Those a format does not show stay empty
// (a DOS line has no permissions, owner or group).
struct ListingEntry {
    std::string name;
    std::string path; // the target of a symbolic link
    std::int64_t size = 0;
    Date date;
    bool directory = false;
    std::string permissions;
    std::string owner;
    std::string group;
};

} // namespace ftp
