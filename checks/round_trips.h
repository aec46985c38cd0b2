#pragma once

// Statistics over a run of echo requests, as users know them from ping.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace checks {

struct RoundTrips {
    int sent = 0;
    int received = 0;
    double lossPercent = 0;
    // Over the answered requests; empty when none was answered.
    std::optional<double> minMs, avgMs, maxMs, mdevMs;
};

// One per request: the round trip in ms (fractions kept), empty when lost.
RoundTrips summarize(const std::vector<std::optional<double>>& milliseconds);

// "Round trips: min/avg/max/mdev = a/b/c/d ms, N sent, M received, L% loss"
std::string describe(const RoundTrips& trips);

} // namespace checks
