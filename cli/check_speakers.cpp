#include "cli/check_sound.h"

#include "app/wave_file.h"
#include "cli/check_commands.h"

#include <QAudioSink>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMediaDevices>
#include <QTextToSpeech>
#include <QTimer>

#include <cstdio>
#include <iostream>

namespace check {

namespace {

// The window's test sentence, spoken at its rate.
const QString SpokenSentence = QStringLiteral("Testing your speakers using text-to-speech module");
constexpr double SpeechRate = 0.2;

// Runs `wait` until it quits or `milliseconds` have passed.
void waitAtMost(QEventLoop& wait, int milliseconds) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &wait, &QEventLoop::quit);
    guard.start(milliseconds);
    wait.exec();
}

// Plays the window's built-in sample; its played seconds, or empty with why.
std::optional<double> playSample(const QAudioDevice& device, std::string& why) {
    QFile file(QStringLiteral(":/mitu/sample.wav"));
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    const auto sample = app::WaveFile::parse(std::string_view(bytes.constData(), bytes.size()));
    if (!sample) {
        why = "the built-in sample is damaged";
        return std::nullopt;
    }
    QAudioFormat format; // as the window plays it
    format.setChannelCount(sample->channels);
    format.setSampleRate(sample->samplesPerSecond);
    format.setSampleFormat(sample->bitsPerSample == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
    QByteArray data(sample->data.data(), static_cast<qsizetype>(sample->data.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QAudioSink sink(device, format);
    QEventLoop wait;
    QObject::connect(&sink, &QAudioSink::stateChanged, &wait, [&](QAudio::State state) {
        if (state == QAudio::IdleState || state == QAudio::StoppedState)
            wait.quit();
    });
    sink.start(&buffer);
    if (sink.error() != QAudio::NoError) {
        why = "the sound server refused the sample";
        return std::nullopt;
    }
    // The sample's length, and time for the server to take it.
    waitAtMost(wait, static_cast<int>(sample->seconds() * 1000) + 5000);
    const QAudio::Error error = sink.error();
    const double played = static_cast<double>(sink.processedUSecs()) / 1e6;
    sink.stop();
    if (error != QAudio::NoError && error != QAudio::UnderrunError) {
        why = "the sound server ended the sample";
        return std::nullopt;
    }
    return played;
}

// Speaks the window's sentence as the window does; the seconds from the
// start to the end of speaking, or empty with why.
std::optional<double> speakSentence(std::string& why) {
    const QStringList engines = QTextToSpeech::availableEngines();
    if (engines.isEmpty()) {
        why = "no speech engine is installed";
        return std::nullopt;
    }
    QTextToSpeech voice(engines.contains(QStringLiteral("flite")) ? QStringLiteral("flite")
                                                                  : QString());
    if (voice.state() == QTextToSpeech::Error) {
        why = "the speech engine failed: " + voice.errorString().toStdString();
        return std::nullopt;
    }
    voice.setRate(SpeechRate);
    QEventLoop wait;
    QElapsedTimer clock;
    bool started = false, ended = false;
    QObject::connect(&voice, &QTextToSpeech::stateChanged, &wait, [&](QTextToSpeech::State state) {
        if (state == QTextToSpeech::Speaking && !started) {
            started = true;
            clock.start();
        } else if (state == QTextToSpeech::Error || started) {
            ended = state != QTextToSpeech::Error;
            wait.quit();
        }
    });
    voice.say(SpokenSentence);
    if (voice.state() == QTextToSpeech::Speaking && !started) {
        started = true;
        clock.start();
    }
    if (voice.state() != QTextToSpeech::Error) {
        waitAtMost(wait, 10000); // until it starts, or ends
        if (started && !ended)
            waitAtMost(wait, 60000);
    }
    if (!ended) {
        why = voice.state() == QTextToSpeech::Error
                  ? "the speech engine failed: " + voice.errorString().toStdString()
                  : std::string(started ? "the speech engine did not finish"
                                        : "the speech engine did not start");
        return std::nullopt;
    }
    return static_cast<double>(clock.elapsed()) / 1000.0;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

} // namespace

int checkSpeakers(const Options&, SpeakerReport& report, bool text) {
    SoundSession session;
    report = {};
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    report.device = device.description().toStdString();
    std::vector<std::string> reasons;
    if (device.isNull()) {
        reasons.push_back("no output device");
    } else {
        std::string why;
        if (auto played = playSample(device, why))
            report.waveSeconds = *played;
        else
            reasons.push_back(why);
        if (auto spoken = speakSentence(why))
            report.speechSeconds = *spoken;
        else
            reasons.push_back(why);
    }
    for (const std::string& reason : reasons)
        report.reason += (report.reason.empty() ? "" : "; ") + reason;
    report.verdict = reasons.empty() ? "ok" : "unavailable";
    if (text) {
        std::cout << "Speakers: " << report.verdict;
        if (!reasons.empty())
            std::cout << " (" << report.reason << ')';
        std::cout << '\n';
        if (!report.device.empty())
            std::cout << "Device: " << report.device << '\n';
        std::cout << "Sample played: " << seconds(report.waveSeconds) << '\n';
        std::cout << "Sentence spoken: " << seconds(report.speechSeconds) << '\n';
    }
    return reasons.empty() ? ExitOk : ExitUnavailable;
}

} // namespace check
