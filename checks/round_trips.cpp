#include "checks/round_trips.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace checks {

RoundTrips summarize(const std::vector<std::optional<double>>& milliseconds) {
    RoundTrips trips;
    trips.sent = static_cast<int>(milliseconds.size());
    double sum = 0, squares = 0, low = 0, high = 0;
    for (const std::optional<double>& result : milliseconds) {
        if (!result)
            continue;
        const double ms = *result;
        low = trips.received == 0 ? ms : std::min(low, ms);
        high = trips.received == 0 ? ms : std::max(high, ms);
        sum += ms;
        squares += ms * ms;
        ++trips.received;
    }
    if (trips.sent > 0)
        trips.lossPercent = 100.0 * (trips.sent - trips.received) / trips.sent;
    if (trips.received > 0) {
        const double mean = sum / trips.received;
        trips.minMs = low;
        trips.avgMs = mean;
        trips.maxMs = high;
        // The population deviation, as ping reports it.
        trips.mdevMs = std::sqrt(std::max(0.0, squares / trips.received - mean * mean));
    }
    return trips;
}

std::string describe(const RoundTrips& trips) {
    char text[200];
    std::string line = "Round trips: ";
    if (trips.received > 0) {
        std::snprintf(text, sizeof text, "min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms, ",
                      *trips.minMs, *trips.avgMs, *trips.maxMs, *trips.mdevMs);
        line += text;
    }
    std::snprintf(text, sizeof text, "%d sent, %d received, %.4g%% loss", trips.sent,
                  trips.received, trips.lossPercent);
    return line + text;
}

} // namespace checks
