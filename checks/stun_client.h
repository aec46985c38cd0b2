#pragma once

// The voice check's STUN client on the event loop: a series of Binding
// requests over one UDP socket at a fixed cadence, every answer timed on
// the monotonic clock, and a single Binding over TCP for when UDP gets no
// answer. Everything runs on the loop's thread through CSocket; waits end
// at their deadlines.

#include "checks/stun_message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace checks::stun {

// A failure of the socket layer: its number, source and description.
struct Failure {
    std::int32_t number = 0;
    std::string source;
    std::string description;
};

// How long a request's answer counts as on time: an answer after this is
// late, counted apart from the round trips.
inline constexpr int ReplyWindowMs = 1000;
// How long the TCP Binding may take, connection included.
inline constexpr int TcpTimeoutMs = 3000;

struct UdpSeries {
    // One per request in the order sent: the round trip of an on-time
    // answer in ms; empty when none came in time.
    std::vector<std::optional<double>> roundTrips;
    int late = 0;                        // answers after their window (and only the first of each)
    int malformed = 0;                   // datagrams that were no valid answer to a request of ours
    std::optional<MappedAddress> mapped; // from the first valid answer
    MappedAddress local;                 // the socket's own address toward the server
    std::optional<Failure> failure;      // the socket could not be used
};

// Sends `count` Binding requests to `ip`:`port`, one every `intervalMs`,
// and waits for the answers up to ReplyWindowMs after the last.
UdpSeries runUdpSeries(const std::string& ip, std::uint16_t port, int count, int intervalMs);

struct TcpBinding {
    bool answered = false;
    std::optional<double> roundTripMs; // from the request to the answer
    std::optional<MappedAddress> mapped;
    std::optional<Failure> failure; // why there was no answer
};

// One Binding over a TCP connection to `ip`:`port`.
TcpBinding runTcpBinding(const std::string& ip, std::uint16_t port);

} // namespace checks::stun
