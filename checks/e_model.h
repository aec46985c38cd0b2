#pragma once

// The call-quality estimate of the voice check: the E-model of ITU-T
// G.107 (06/2015) for a G.711 call with packet-loss concealment, from the
// round trip, jitter and loss measured at voice cadence. Pure arithmetic.

#include <string>

namespace checks::emodel {

// The codec's impairments from ITU-T G.113 Appendix I (Table I.3): G.711
// with packet-loss concealment (G.711 Appendix I) has the equipment
// impairment Ie = 0 and the packet-loss robustness Bpl = 25.1.
inline constexpr double G711Ie = 0;
inline constexpr double G711Bpl = 25.1;
// The delay the codec adds: one 20 ms packet collected before it is sent,
// and the 3.75 ms the concealment of G.711 Appendix I holds back.
inline constexpr double CodecDelayMs = 20 + 3.75;
// The receiver's jitter buffer: twice the measured jitter, and never less
// than one packet (20 ms).
inline constexpr double JitterBufferFactor = 2;
inline constexpr double MinJitterBufferMs = 20;

// The buffer for a jitter, in ms.
double jitterBufferMs(double jitterMs);
// The mouth-to-ear delay: half the round trip, the jitter buffer and the
// codec's delay, in ms.
double oneWayDelayMs(double roundTripMs, double jitterMs);

// The delay impairment Id = Idte + Idle + Idd of G.107 for a one-way
// delay T = Ta in ms (the echo path's round trip Tr = 2T), every other
// parameter at G.107's default (TELR 65 dB, WEPL 110 dB, mT 100 ms, sT 1,
// ...).
double delayImpairment(double oneWayMs);
// The effective equipment impairment Ie-eff of G.711 with concealment for
// random losses (BurstR = 1) of `lossPercent`.
double lossImpairment(double lossPercent);
// R = Ro - Is - Id - Ie-eff + A with G.107's defaults (Ro - Is = 93.36,
// so R = 93.2 with no delay and no loss; A = 0).
double rating(double oneWayMs, double lossPercent);
// G.107's conversion of R to the mean opinion score (1 to 4.5).
double mos(double r);

// excellent (MOS >= 4.2), great (>= 4.1), good (>= 3.7), fair (>= 3.1),
// degraded below.
std::string label(double mos);
// A label that lets a call go ahead: good or better.
bool goodEnough(const std::string& label);

} // namespace checks::emodel
