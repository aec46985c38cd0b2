#pragma once

// What each of mitu-check's checks found, for the text and the JSON report.

#include "checks/round_trips.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace checks {

// One counted echo request: its round trip on a monotonic clock, or why
// it failed.
struct EchoRequestReport {
    std::optional<double> ms;
    std::string reason; // empty when answered
};

struct ConnectionReport {
    std::string address;
    std::string resolvedAddress;         // where the requests went; empty: nowhere known
    std::vector<std::int32_t> listedMs;  // the window's lines; negative: failed
    std::optional<std::int32_t> totalMs; // empty: ">10000 ms"
    std::string rating;
    RoundTrips trips;
    std::vector<EchoRequestReport> requests;
    std::string reason;  // of the first failed request; empty when none failed
    std::string warning; // "15 % of echo requests lost" above MaxLossPercent
};

struct TransferReport {
    std::string verdict;
    std::uint64_t bytes = 0;
    double seconds = 0; // first byte to the end (see BandwidthTest::Throughput)
};

// The step that failed, and its cause.
struct StepError {
    std::string step; // connect, download, upload
    std::optional<std::int32_t> number;
    std::string description;
};

struct BandwidthReport {
    std::string server;
    std::optional<TransferReport> download, upload;
    std::optional<StepError> error;
};

struct LevelReport {
    std::optional<double> peakDbfs, rmsDbfs; // empty: pure silence
};

struct MicrophoneReport {
    std::string device;
    double seconds = 0; // recorded
    LevelReport overall;
    std::vector<LevelReport> channels;
    double clippedPercent = 0;
    bool mono = false;   // every channel carries the same samples
    std::string verdict; // ok, silent, too_quiet, clipping, unavailable
    std::string warning; // dead_channel, or empty
    std::string reason;  // why unavailable
};

struct SpeakerReport {
    std::string device;
    double waveSeconds = 0, speechSeconds = 0; // played
    std::string verdict;                       // ok, unavailable
    std::string reason;                        // why unavailable
};

// The voice path: STUN Binding requests at voice cadence (checks/voice_check.h).
struct VoiceReport {
    std::string server;        // HOST[:PORT] as given
    std::string serverAddress; // the address and port asked; empty when the name was not found
    bool udpReachable = false;
    std::optional<bool> tcpReachable; // asked only when UDP got no answer
    std::string mappedAddress;        // as the server saw us; empty without an answer
    std::string localAddress;         // our own toward the server
    std::optional<bool> nat;          // the two differ
    int sent = 0, received = 0, late = 0, malformed = 0;
    double lossPercent = 0;                    // neither in time nor late
    std::optional<double> minMs, avgMs, maxMs; // over the on-time answers
    std::optional<double> jitterMs;            // interarrival jitter of the round trips
    std::optional<double> oneWayMs, r, mos;    // the estimate; empty without UDP
    std::string quality;                       // excellent ... degraded; empty without UDP
    std::vector<std::string> warnings;
    std::optional<StepError> error; // step: lookup, udp, tcp
};

// One member per check that ran.
struct Report {
    std::optional<ConnectionReport> connection;
    std::optional<BandwidthReport> bandwidth;
    std::optional<MicrophoneReport> microphone;
    std::optional<SpeakerReport> speakers;
    std::optional<VoiceReport> voice;
};

} // namespace checks
