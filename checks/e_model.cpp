// The E-model of ITU-T G.107 as the voice check uses it.

#include "checks/e_model.h"

#include <algorithm>
#include <cmath>

namespace checks::emodel {

namespace {

// G.107's default parameters (SLR 8, RLR 2, STMR 15, LSTR 18, Ds 3, Dr 3,
// Nc -70 dBm0p, Nfor -64 dBmp, Ps = Pr = 35 dB(A), qdu 1) give these
// through its formulas (7-2 to 7-28): the noise sum No, the basic
// signal-to-noise ratio Ro and the simultaneous impairment Is.
constexpr double No = -61.1792;
constexpr double Ro = 94.7688;
constexpr double Is = 1.4136;
constexpr double RLR = 2;
constexpr double TELR = 65;  // dB, talker echo loudness rating
constexpr double WEPL = 110; // dB, weighted echo path loss
constexpr double mT = 100;   // ms, the delay at which Idd starts
constexpr double sT = 1;     // the sensitivity of Idd to delay

} // namespace

double jitterBufferMs(double jitterMs) {
    return std::max(MinJitterBufferMs, JitterBufferFactor * std::max(0.0, jitterMs));
}

double oneWayDelayMs(double roundTripMs, double jitterMs) {
    return std::max(0.0, roundTripMs) / 2 + jitterBufferMs(jitterMs) + CodecDelayMs;
}

double delayImpairment(double T) {
    T = std::max(0.0, T);
    const double Tr = 2 * T; // the listener echo's round trip
    const double Ta = T;
    // Talker echo (7-31 to 7-33).
    const double TERV =
        TELR - 40 * std::log10((1 + T / 10) / (1 + T / 150)) + 6 * std::exp(-0.3 * T * T);
    const double Roe = -1.5 * (No - RLR);
    const double Re = 80 + 2.5 * (TERV - 14);
    const double Idte =
        ((Roe - Re) / 2 + std::sqrt((Roe - Re) * (Roe - Re) / 4 + 100) - 1) * (1 - std::exp(-T));
    // Listener echo (7-35, 7-36).
    const double Rle = 10.5 * (WEPL + 7) * std::pow(Tr + 1, -0.25);
    const double Idle = (Ro - Rle) / 2 + std::sqrt((Ro - Rle) * (Ro - Rle) / 4 + 169);
    // Too long an absolute delay (7-37, 7-38).
    double Idd = 0;
    if (Ta > mT) {
        const double X = std::log10(Ta / mT) / std::log10(2.0);
        Idd = 25 * (std::pow(1 + std::pow(X, 6 * sT), 1 / (6 * sT)) -
                    3 * std::pow(1 + std::pow(X / 3, 6 * sT), 1 / (6 * sT)) + 2);
    }
    return Idte + Idle + Idd;
}

double lossImpairment(double lossPercent) {
    const double Ppl = std::clamp(lossPercent, 0.0, 100.0);
    const double BurstR = 1; // random loss
    return G711Ie + (95 - G711Ie) * Ppl / (Ppl / BurstR + G711Bpl);
}

double rating(double oneWayMs, double lossPercent) {
    return Ro - Is - delayImpairment(oneWayMs) - lossImpairment(lossPercent);
}

double mos(double r) {
    if (r < 0)
        return 1;
    if (r > 100)
        return 4.5;
    return 1 + 0.035 * r + r * (r - 60) * (100 - r) * 7e-6;
}

std::string label(double mos) {
    if (mos >= 4.2)
        return "excellent";
    if (mos >= 4.1)
        return "great";
    if (mos >= 3.7)
        return "good";
    if (mos >= 3.1)
        return "fair";
    return "degraded";
}

bool goodEnough(const std::string& label) {
    return label == "excellent" || label == "great" || label == "good";
}

} // namespace checks::emodel
