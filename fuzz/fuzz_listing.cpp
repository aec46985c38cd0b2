// The listing parser over arbitrary listing text.
#include "ftp/ftp_client.h"
#include "ftp/ftp_listing.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (auto files = CFtpClient::ParseListing(text, 2024)) {
        for (std::int32_t i = 1; i <= files->Count(); ++i) {
            const auto file = files->Item(i);
            if (file->FileSize() < 0 || !std::isfinite(file->LastWriteTime().days))
                std::abort();
        }
    }

    // Read early in January, so that dates with a time fall back a year; the
    // line named as unreadable is there exactly when the listing fails.
    const ListingTime january{2025, 1, 2, 8, 30};
    const auto listed = ParseListingAt(text, january);
    const auto bad = FirstUnreadableListingLine(text, january);
    if (!listed != bad.has_value() ||
        (bad && (bad->empty() || bad->find_first_of("\r\n") != std::string::npos)))
        std::abort();

    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        const std::int32_t position = CFtpClient::GetDateStartPosition(line);
        if (position < 0 || static_cast<std::size_t>(position) > line.size())
            std::abort();
        try {
            (void)CFtpClient::ParseUnixDate(line, 2024);
        } catch (const std::exception&) {
        }
        if (position > 0) {
            try {
                (void)CFtpClient::ParseUnixDate(line.substr(position - 1, 12), 2024);
            } catch (const std::exception&) {
            }
        }
    }
    return 0;
}
