#pragma once
// The listing parser's free entry points: reading a listing against a given
// moment, reading one line in whichever format it is written, and naming
// the line that stops a listing from being read. (`CFtpClient::ParseListing`
// reads against the system clock.)

#include "ftp/ftp_files.h"
#include "ftp/listing_entry.h"

#include <memory>
#include <optional>
#include <string>

// The system clock's local date and time.
ListingTime ListingTimeNow();

// The entry of one line (carriage returns removed) in the format it is
// written in: a line that starts with a DOS date is a DOS line, any other
// must be a Unix line. Nothing when it cannot be read.
std::optional<ftp::ListingEntry> ReadListingLine(const std::string& line, const ListingTime& now);

// The entries of a Unix or DOS listing text; nullptr when any line cannot be
// read. A date that carries a time instead of a year (servers print that
// form for the recent past) takes the year of `now`, or the year before
// when the year of `now` would put it more than a day later than `now`.
std::shared_ptr<CFtpFiles> ParseListingAt(const std::string& text, const ListingTime& now);
// The same, the collection reading its entries from `text` itself, which
// it shares instead of keeping a copy.
std::shared_ptr<CFtpFiles> ParseListingAt(std::shared_ptr<const std::string> text,
                                          const ListingTime& now);

// The first line of `text`, carriage returns removed, that makes
// `ParseListingAt` fail; nothing when every line is read.
std::optional<std::string> FirstUnreadableListingLine(const std::string& text,
                                                      const ListingTime& now = ListingTimeNow());

// What a listing's text is: the answer to LIST (lines for people, read by
// their look) or to MLSD (machine listing lines).
enum class ListingFormat { Lines, Machine };

// The entries of an MLSD listing, the directory itself and its parent left
// out, times in local time; nullptr when any line cannot be read. Blank
// lines are skipped.
std::shared_ptr<CFtpFiles> ParseMachineListing(std::shared_ptr<const std::string> text);
// The first line that makes `ParseMachineListing` fail, as above.
std::optional<std::string> FirstUnreadableMachineListingLine(const std::string& text);
