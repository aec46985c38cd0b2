#include "cli/check_sound.h"

#include "checks/sound_levels.h"
#include "cli/check_commands.h"

#include <QAudioSource>
#include <QBuffer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMediaDevices>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <unistd.h>

namespace check {

struct SoundSession::Application {
    int argc = 1;
    char name[16] = "mitu-check";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

SoundSession::SoundSession() {
    if (!QCoreApplication::instance())
        m_application = std::make_unique<Application>();
}

SoundSession::~SoundSession() = default;

namespace {

// As the window records: 2 channels, 44100 samples a second, 16 bits.
QAudioFormat recordingFormat() {
    QAudioFormat format;
    format.setChannelCount(2);
    format.setSampleRate(44100);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

std::string level(const std::optional<double>& dbfs) {
    if (!dbfs)
        return "-inf";
    char text[32];
    // Full scale is 0.0, not the "-0.0" a hair below it would round to.
    std::snprintf(text, sizeof text, "%.1f", *dbfs > -0.05 ? 0.0 : *dbfs);
    return text;
}

// Tells the user when to speak, on standard error: one line, and on a
// terminal the seconds left counting down on it.
class SpeakPrompt {
public:
    explicit SpeakPrompt(int seconds) : m_left(seconds) {
        std::cerr << "Speak now for " << seconds << " s\u2026" << (m_terminal ? "" : "\n")
                  << std::flush;
        if (!m_terminal)
            return;
        show();
        m_tick.setInterval(1000);
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            if (m_left > 1)
                --m_left;
            show();
        });
        m_tick.start();
    }
    ~SpeakPrompt() {
        if (m_terminal)
            std::cerr << "\r\033[K" << std::flush;
    }

private:
    void show() {
        std::cerr << "\rSpeak now for " << m_seconds << " s\u2026 " << m_left << "\033[K"
                  << std::flush;
    }

    int m_left;
    const int m_seconds = m_left;
    bool m_terminal = ::isatty(STDERR_FILENO) == 1;
    QTimer m_tick;
};

void printMicrophone(const MicrophoneReport& report) {
    if (report.verdict == "unavailable") {
        std::cout << "Microphone: unavailable (" << report.reason << ")\n";
        if (!report.device.empty())
            std::cout << "Device: " << report.device << '\n';
        return;
    }
    char clipped[32];
    std::snprintf(clipped, sizeof clipped, "%.2f", report.clippedPercent);
    std::cout << "Microphone: " << report.verdict << " (peak " << level(report.overall.peakDbfs)
              << " dBFS, RMS " << level(report.overall.rmsDbfs) << " dBFS, clipped " << clipped
              << " %)\n";
    std::cout << "Device: " << report.device << '\n';
    for (std::size_t c = 0; c < report.channels.size(); ++c)
        std::cout << "Channel " << c + 1 << ": peak " << level(report.channels[c].peakDbfs)
                  << " dBFS, RMS " << level(report.channels[c].rmsDbfs) << " dBFS\n";
    if (report.mono)
        std::cout << "The channels are identical (a mono microphone).\n";
    if (report.warning == "dead_channel")
        std::cout << "Warning: a channel is silent while another is not (dead_channel).\n";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", report.seconds);
    std::cout << "Recorded: " << seconds << " s\n";
}

} // namespace

int checkMicrophone(const Options& options, MicrophoneReport& report, bool text) {
    SoundSession session;
    report = {};
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    report.device = device.description().toStdString();
    auto unavailable = [&](const char* reason) {
        report.verdict = "unavailable";
        report.reason = reason;
        if (text)
            printMicrophone(report);
        return ExitUnavailable;
    };
    if (device.isNull())
        return unavailable("no input device, or no sound server");

    const QAudioFormat format = recordingFormat();
    QByteArray take;
    QBuffer buffer(&take);
    buffer.open(QIODevice::WriteOnly);
    QAudioSource source(device, format);
    source.setBufferSize(format.bytesForDuration(50000)); // as the window, 50 ms
    QEventLoop wait;
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, &wait, &QEventLoop::quit);
    QObject::connect(&source, &QAudioSource::stateChanged, &wait, [&](QAudio::State state) {
        if (state == QAudio::StoppedState && source.error() != QAudio::NoError)
            wait.quit();
    });
    source.start(&buffer);
    if (source.error() != QAudio::NoError)
        return unavailable("the sound server refused the recording");
    std::optional<SpeakPrompt> prompt(std::in_place, options.seconds);
    end.start(options.seconds * 1000);
    wait.exec();
    prompt.reset();
    const bool failed = source.error() != QAudio::NoError;
    source.stop();
    if (failed)
        return unavailable("the sound server ended the recording");
    const qsizetype frames = take.size() / format.bytesPerFrame();
    if (frames == 0)
        return unavailable("no sound arrived from the input device");

    report.seconds = static_cast<double>(frames) / format.sampleRate();
    std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * format.channelCount());
    std::memcpy(samples.data(), take.constData(), samples.size() * sizeof(std::int16_t));
    checks::analyse(samples, format.channelCount(), report);
    if (text)
        printMicrophone(report);
    return report.verdict == "ok" ? ExitOk : ExitFailed;
}

} // namespace check
