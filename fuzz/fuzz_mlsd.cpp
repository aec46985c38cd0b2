// The machine listing (MLSD) reader over arbitrary text: each line by
// itself, then the whole text as a listing.
#include "ftp/ftp_listing.h"
#include "ftp/listing_mlsd.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

Date asUtc(std::int64_t seconds) {
    return Date{static_cast<double>(seconds) / 86400.0 + 25569};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text =
        std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start < text->size()) {
        const std::size_t end = std::min(text->find('\n', start), text->size());
        const std::string line = text->substr(start, end - start);
        start = end + 1;
        if (const auto read = ftp::ReadMlsdLine(line, asUtc)) {
            // A name is never empty and is the text after the first blank.
            const ftp::ListingEntry& entry = read->entry;
            if (entry.name.empty() || entry.size < 0 || !std::isfinite(entry.date.days) ||
                line.substr(line.find(' ') + 1) != entry.name)
                std::abort();
        }
    }

    // The line named as unreadable is there exactly when the listing fails,
    // and every entry the listing gives can be read again.
    const auto files = ParseMachineListing(text);
    const auto bad = FirstUnreadableMachineListingLine(*text);
    if (!files != bad.has_value() || (bad && bad->find_first_of("\r\n") != std::string::npos))
        std::abort();
    if (files)
        for (const auto& file : *files)
            if (!file || file->FileName().empty())
                std::abort();
    return 0;
}
