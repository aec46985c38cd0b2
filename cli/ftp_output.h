#pragma once

// What mitu-ftp shows besides the session protocol: listing lines, byte
// counts, and the progress of a transfer.

#include "ftp/ftp_client.h"
#include "platform/event.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace mituftp {

// "YYYY-MM-DD HH:MM" of a listing date (days since 30 December 1899).
std::string dateText(Date date);

// One entry of a listing: "TYPE SIZE YYYY-MM-DD HH:MM NAME[ -> TARGET]".
std::string listingLine(const CFtpFile& file);

// A byte count with a binary unit: "512 B", "1.5 MiB".
std::string sizeText(double bytes);

// Watches one transfer: a progress bar on standard error while it runs
// (when `showBar`), and the summary of what was moved at the end.
class TransferMeter {
public:
    TransferMeter(CFtpClient& client, bool showBar, std::int64_t start,
                  std::optional<std::int64_t> total);
    ~TransferMeter();
    TransferMeter(const TransferMeter&) = delete;
    TransferMeter& operator=(const TransferMeter&) = delete;

    // The whole size, once it is known (the server may tell it late).
    void setTotal(std::int64_t total) { m_total = total; }

    // Bytes moved since the start.
    std::int64_t moved() const { return m_position - m_start; }

    // Ends the bar; returns ": N bytes in S s (R MB/s)".
    std::string finish();

private:
    using Clock = std::chrono::steady_clock;
    void draw(Clock::time_point now);

    CFtpClient& m_client;
    std::int64_t m_start;
    std::optional<std::int64_t> m_total;
    bool m_bar;
    Clock::time_point m_began;
    Clock::time_point m_shown{};
    std::int64_t m_position = 0;
    platform::Event<std::int64_t>::Token m_token{};
};

} // namespace mituftp
