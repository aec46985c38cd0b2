#pragma once

// Levels of a recording: peak and RMS in dBFS, clipping, and whether the
// channels carry the same samples. Pure arithmetic over 16-bit samples.

#include "checks/reports.h"

#include <cstdint>
#include <span>

namespace checks {

// Thresholds of the microphone's verdict: silent below the first peak,
// too quiet below the second peak or the RMS level.
inline constexpr double SilentPeakDbfs = -60;
inline constexpr double QuietPeakDbfs = -30;
inline constexpr double QuietRmsDbfs = -50;
inline constexpr double ClippingPercent = 0.1;

// Fills the levels, clipping, mono flag, verdict ("ok", "silent",
// "too_quiet", "clipping") and warning ("dead_channel": one channel silent
// while another is not) of `report` from interleaved samples of `channels`
// channels.
void analyse(std::span<const std::int16_t> samples, int channels, MicrophoneReport& report);

} // namespace checks
