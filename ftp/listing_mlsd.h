#pragma once
// The reader of machine listing lines (MLSD, RFC 3659): facts, then one
// blank and the name, as in "type=file;size=42;modify=20120207003100;
// perm=r; notes.txt".

#include "ftp/listing_entry.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ftp {

// The local date and time of a moment given in seconds since 1970, UTC.
using LocalTimeOf = Date (*)(std::int64_t utcSeconds);
// In the system's time zone.
Date SystemLocalTime(std::int64_t utcSeconds);

struct MlsdLine {
    // False for the directory itself and its parent (type cdir, pdir),
    // which a listing leaves out.
    bool listed = true;
    ListingEntry entry;
};

// The entry of one line (carriage returns already removed); nothing when
// the line cannot be read. The facts read are type, size, modify (UTC,
// given as local time by `local`) and perm, their names in any case;
// other facts are passed over. A line without facts, a fact without "=",
// a size or time that is not one, or an empty name cannot be read.
std::optional<MlsdLine> ReadMlsdLine(const std::string& line, LocalTimeOf local = SystemLocalTime);

} // namespace ftp
