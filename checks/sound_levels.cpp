#include "checks/sound_levels.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace checks {

namespace {

constexpr double FullScale = 32768;

std::optional<double> dbfs(double level) {
    if (level <= 0)
        return std::nullopt; // pure silence has no level
    return 20 * std::log10(level / FullScale);
}

struct Sums {
    int peak = 0;
    double squares = 0;
    std::size_t count = 0;

    void add(std::int16_t sample) {
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
        squares += static_cast<double>(sample) * sample;
        ++count;
    }
    LevelReport levels() const {
        return {dbfs(peak), count ? dbfs(std::sqrt(squares / count)) : std::nullopt};
    }
};

} // namespace

void analyse(std::span<const std::int16_t> samples, int channels, MicrophoneReport& report) {
    if (channels < 1)
        channels = 1;
    std::vector<Sums> perChannel(channels);
    Sums overall;
    std::size_t clipped = 0;
    bool identical = channels > 1;
    const std::size_t frames = samples.size() / channels;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const std::int16_t* f = samples.data() + frame * channels;
        for (int c = 0; c < channels; ++c) {
            perChannel[c].add(f[c]);
            overall.add(f[c]);
            // At or within one step of either end of the scale.
            if (f[c] >= 32766 || f[c] <= -32767)
                ++clipped;
            if (f[c] != f[0])
                identical = false;
        }
    }
    report.channels.clear();
    for (const Sums& sums : perChannel)
        report.channels.push_back(sums.levels());
    report.overall = overall.levels();
    report.clippedPercent = overall.count ? 100.0 * clipped / overall.count : 0;
    report.mono = identical && overall.peak > 0; // silence tells nothing

    auto silent = [](const LevelReport& levels) {
        return !levels.peakDbfs || *levels.peakDbfs < SilentPeakDbfs;
    };
    if (silent(report.overall))
        report.verdict = "silent";
    else if (report.clippedPercent > ClippingPercent)
        report.verdict = "clipping";
    else if (*report.overall.peakDbfs < QuietPeakDbfs || !report.overall.rmsDbfs ||
             *report.overall.rmsDbfs < QuietRmsDbfs)
        report.verdict = "too_quiet";
    else
        report.verdict = "ok";
    report.warning.clear();
    if (!silent(report.overall))
        for (const LevelReport& channel : report.channels)
            if (silent(channel))
                report.warning = "dead_channel";
}

} // namespace checks
