#pragma once
// The reader of DOS (Windows server) listing lines ("03-15-06  12:34PM
// <DIR>  Docs").

#include "ftp/listing_entry.h"

#include <optional>
#include <string>

namespace ftp {

// The line starts with a DOS date (MM-DD-YY or MM-DD-YYYY and a blank):
// it is a DOS line, whatever follows.
bool IsDosLine(const std::string& line);

// The entry of a DOS line (carriage returns already removed); nothing when
// the line cannot be read as one.
std::optional<ListingEntry> ReadDosLine(const std::string& line);

} // namespace ftp
