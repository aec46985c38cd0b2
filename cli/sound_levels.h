#pragma once

// Levels of a recording: peak and RMS in dBFS, clipping, and whether the
// channels carry the same samples. Pure arithmetic over 16-bit samples.

#include "cli/check_report.h"

#include <cstdint>
#include <span>

namespace check {

// Thresholds of the microphone's verdict.
inline constexpr double SilentRmsDbfs = -50;
inline constexpr double SilentPeakDbfs = -40;
inline constexpr double ClippingPercent = 0.1;

// Fills the levels, clipping, mono flag and verdict ("ok", "silent",
// "clipping") of `report` from interleaved samples of `channels` channels.
void analyse(std::span<const std::int16_t> samples, int channels, MicrophoneReport& report);

} // namespace check
