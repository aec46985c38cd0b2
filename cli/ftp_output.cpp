// What mitu-ftp shows besides the session protocol: listing lines, byte
// counts, and the progress bar of a transfer.

#include "cli/ftp_output.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace mituftp {

std::string dateText(Date date) {
    const double minutesTotal = std::round(date.days * 1440.0);
    std::int64_t days = static_cast<std::int64_t>(std::floor(minutesTotal / 1440.0));
    const int minutes = static_cast<int>(minutesTotal - static_cast<double>(days) * 1440.0);
    // Civil date from a day count (days since 1970-01-01 after the shift).
    std::int64_t z = days - 25569 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d", static_cast<long long>(year),
                  month, day, minutes / 60, minutes % 60);
    return text;
}

std::string listingLine(const CFtpFile& file) {
    const bool link = !file.FilePath().empty() || file.Permissions().starts_with("l");
    const char type = file.IsDirectory() ? 'd' : link ? 'l' : '-';
    std::string line = std::string(1, type) + " " + std::to_string(file.FileSize()) + " " +
                       dateText(file.LastWriteTime()) + " " + file.FileName();
    if (!file.FilePath().empty())
        line += " -> " + file.FilePath();
    return line;
}

std::string sizeText(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

TransferMeter::TransferMeter(CFtpClient& client, bool showBar, std::int64_t start,
                             std::optional<std::int64_t> total)
    : m_client(client), m_start(start), m_total(total), m_bar(showBar && ::isatty(2) == 1),
      m_began(Clock::now()), m_position(start) {
    m_token = client.OnDataTransferProgress.subscribe([this](std::int64_t position) {
        m_position = position;
        if (!m_total && m_client.TransferSize() >= 0) // the size the server told
            m_total = m_client.TransferSize();
        const auto now = Clock::now();
        if (m_bar && now - m_shown >= std::chrono::milliseconds(100)) {
            m_shown = now;
            draw(now);
        }
    });
}

TransferMeter::~TransferMeter() {
    m_client.OnDataTransferProgress.unsubscribe(m_token);
}

std::string TransferMeter::finish() {
    const auto now = Clock::now();
    if (m_bar && m_shown != Clock::time_point()) {
        draw(now);
        std::cerr << '\n';
    }
    const double seconds = std::chrono::duration<double>(now - m_began).count();
    const std::int64_t moved = m_position - m_start;
    char text[128];
    std::snprintf(text, sizeof text, ": %lld bytes in %.2f s (%.1f MB/s)",
                  static_cast<long long>(moved), seconds,
                  seconds > 0 ? static_cast<double>(moved) / seconds / 1e6 : 0.0);
    return text;
}

void TransferMeter::draw(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - m_began).count();
    const double rate = seconds > 0 ? static_cast<double>(m_position - m_start) / seconds : 0;
    std::string line = "\r" + sizeText(static_cast<double>(m_position));
    if (m_total)
        line += " of " + sizeText(static_cast<double>(*m_total));
    line += "  " + sizeText(rate) + "/s";
    if (m_total && rate > 0 && *m_total >= m_position) {
        const auto left = static_cast<long long>(static_cast<double>(*m_total - m_position) / rate);
        char text[32];
        std::snprintf(text, sizeof text, "  %02lld:%02lld left", left / 60, left % 60);
        line += text;
    }
    std::cerr << line << "   " << std::flush;
}

} // namespace mituftp
