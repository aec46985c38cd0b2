#pragma once

// The voice check: whether the path a call's audio takes works. STUN
// Binding requests to the service's STUN server at the cadence of voice
// packets give UDP reachability, the mapped address (NAT), round trips,
// jitter and loss; the E-model turns them into a call-quality estimate.
// When UDP gets no answer, one Binding over TCP says whether a relayed
// call could still work.

#include "checks/reports.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace checks {

inline constexpr std::uint16_t DefaultStunPort = 3478;
inline constexpr int DefaultVoiceCount = 50;
inline constexpr int DefaultVoiceIntervalMs = 20; // one voice packet

// Above these the check warns.
inline constexpr double HighRoundTripMs = 300;
inline constexpr double HighJitterMs = 30;
inline constexpr double HighLossPercent = 1;

inline constexpr const char* UdpBlockedTcpReachableText =
    "UDP blocked; TCP reachable: calls may be relayed with more delay";
inline constexpr const char* UdpBlockedTcpBlockedText =
    "UDP blocked; TCP unreachable too: calls cannot reach the server";

// HOST, HOST:PORT, an IPv6 address bare or as [ADDRESS]:PORT. False, with
// the reason, when it names no server.
bool splitServer(const std::string& text, std::string& host, std::uint16_t& port, std::string& why);

// RFC 3550's interarrival jitter (J += (|D| - J) / 16) over the round
// trips of the answered requests in the order sent; empty with fewer
// than two answers.
std::optional<double> interarrivalJitter(const std::vector<std::optional<double>>& roundTrips);

// Runs the check: `count` requests, one every `intervalMs`, to `server`.
VoiceReport measureVoice(const std::string& server, int count, int intervalMs);

// The path carries calls: UDP answers and the estimate is good or better.
bool voicePassed(const VoiceReport& report);

} // namespace checks
