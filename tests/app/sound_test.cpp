// The speaker and microphone checks against a real PulseAudio server: the
// test services start one whose default output is a null sink and whose
// default input is that sink's monitor. What the program plays is measured
// on the monitor, with PulseAudio's own recorder, not in the program.
#include "app/form1.h"
#include "ftp_test_servers.h"
#include "needs_service.h"
#include "support/stun_server.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <numbers>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int Rate = 11025; // of the measurements

bool pulseReachable(QString* why) {
    QProcess info;
    info.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    if (!info.waitForFinished(5000) || info.exitStatus() != QProcess::NormalExit ||
        info.exitCode() != 0) {
        *why = QStringLiteral("no PulseAudio server (pactl info: %1)")
                   .arg(QString::fromLocal8Bit(info.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

QString defaultMonitor() {
    QProcess sink;
    sink.start(QStringLiteral("pactl"), {QStringLiteral("get-default-sink")});
    sink.waitForFinished(5000);
    return QString::fromLocal8Bit(sink.readAllStandardOutput()).trimmed() +
           QStringLiteral(".monitor");
}

// Records the default sink's monitor as 16-bit mono samples.
class MonitorCapture {
public:
    void start() {
        m_process.start(QStringLiteral("parec"),
                        {QStringLiteral("--device=") + defaultMonitor(),
                         QStringLiteral("--format=s16le"), QStringLiteral("--rate=%1").arg(Rate),
                         QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
        ASSERT_TRUE(m_process.waitForStarted(5000));
        QTest::qWait(400); // the stream is connected and flowing
    }
    std::vector<double> stop() {
        QTest::qWait(100);
        m_data += m_process.readAllStandardOutput();
        m_process.terminate();
        m_process.waitForFinished(5000);
        m_data += m_process.readAllStandardOutput();
        std::vector<double> samples(static_cast<std::size_t>(m_data.size() / 2));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto lo = static_cast<unsigned char>(m_data[2 * i]);
            const auto hi = static_cast<unsigned char>(m_data[2 * i + 1]);
            samples[i] = static_cast<std::int16_t>(lo | hi << 8) / 32768.0;
        }
        return samples;
    }
    // Takes what has arrived; returns the number of samples so far.
    std::size_t collect() {
        m_data += m_process.readAllStandardOutput();
        return static_cast<std::size_t>(m_data.size() / 2);
    }

private:
    QProcess m_process;
    QByteArray m_data;
};

// Plays a 440 Hz tone into the default sink until stopped.
class Tone {
public:
    // By default 440 Hz at 12000 of 32768; a square wave swings between
    // `amplitude` and its negative. On every channel, or on the left only.
    void start(double frequency = 440.0, double amplitude = 12000, bool square = false,
               int rate = Rate, bool leftOnly = false) {
        m_process.start(QStringLiteral("pacat"),
                        {QStringLiteral("--playback"), QStringLiteral("--format=s16le"),
                         QStringLiteral("--rate=%1").arg(rate), QStringLiteral("--channels=1"),
                         QStringLiteral("--channel-map=%1").arg(leftOnly ? "front-left" : "mono"),
                         QStringLiteral("--latency-msec=30")});
        ASSERT_TRUE(m_process.waitForStarted(5000));
        QByteArray pcm;
        for (int i = 0; i < rate * 6; ++i) {
            const double wave = std::sin(2 * std::numbers::pi * frequency * i / rate);
            const auto v = static_cast<std::int16_t>(square ? (wave >= 0 ? amplitude : -amplitude)
                                                            : amplitude * wave);
            pcm.append(static_cast<char>(v & 0xFF)).append(static_cast<char>((v >> 8) & 0xFF));
        }
        m_process.write(pcm);
    }
    void stop() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    ~Tone() { stop(); }

private:
    QProcess m_process;
};

constexpr std::size_t Window = 512; // about 46 ms

double rms(const std::vector<double>& s, std::size_t from, std::size_t n) {
    double sum = 0;
    for (std::size_t i = from; i < from + n; ++i)
        sum += s[i] * s[i];
    return std::sqrt(sum / static_cast<double>(n));
}

// Seconds from the first to the last window that is not silent, and the
// seconds of sound among them.
std::pair<double, double> soundSpan(const std::vector<double>& s, double threshold = 0.01) {
    std::size_t first = SIZE_MAX, last = 0, loud = 0;
    for (std::size_t w = 0; (w + 1) * Window <= s.size(); ++w) {
        if (rms(s, w * Window, Window) > threshold) {
            first = std::min(first, w);
            last = w;
            ++loud;
        }
    }
    if (first == SIZE_MAX)
        return {0.0, 0.0};
    const double windowSeconds = static_cast<double>(Window) / Rate;
    return {static_cast<double>(last - first + 1) * windowSeconds,
            static_cast<double>(loud) * windowSeconds};
}

// Share of the signal's power at `frequency` (Goertzel) in one window.
double toneShare(const std::vector<double>& s, std::size_t from, double frequency) {
    const double k = 2 * std::cos(2 * std::numbers::pi * frequency / Rate);
    double s1 = 0, s2 = 0, energy = 0;
    for (std::size_t i = from; i < from + Window; ++i) {
        const double s0 = s[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += s[i] * s[i];
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    // A pure tone puts energy * Window / 2 into its bin.
    return energy > 0 ? power / (energy * Window / 2) : 0.0;
}

// Seconds of sound in which the 440 Hz tone carries most of the power.
double toneSeconds(const std::vector<double>& s) {
    std::size_t windows = 0;
    for (std::size_t w = 0; (w + 1) * Window <= s.size(); ++w)
        if (rms(s, w * Window, Window) > 0.01 && toneShare(s, w * Window, 440.0) > 0.5)
            ++windows;
    return static_cast<double>(windows * Window) / Rate;
}

// The files this process holds open in `folder`, named or not.
std::vector<struct stat> openFilesIn(const QString& folder) {
    std::vector<struct stat> files;
    const QString prefix = folder + QLatin1Char('/');
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo& fd :
         fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        struct stat status {};
        if (fd.symLinkTarget().startsWith(prefix) &&
            ::stat(QFile::encodeName(fd.absoluteFilePath()).constData(), &status) == 0)
            files.push_back(status);
    }
    return files;
}

void waitCollecting(MonitorCapture& capture, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QTest::qWait(50);
        capture.collect();
    }
}

// mitu-check with `arguments` and its JSON report; the environment's
// `extra` variables added. Collects `capture` while it runs.
struct CheckRun {
    int status = -1;
    nlohmann::json report;
};

CheckRun runCheck(const QStringList& arguments, MonitorCapture* capture = nullptr,
                  const QStringList& extra = {}) {
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& variable : extra)
        environment.insert(variable.section(QLatin1Char('='), 0, 0),
                           variable.section(QLatin1Char('='), 1));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(MITU_CHECK_PATH), arguments + QStringList{"--json"});
    QElapsedTimer clock;
    clock.start();
    while (program.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
        QTest::qWait(50);
        if (capture)
            capture->collect();
    }
    CheckRun run;
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished(5000);
        ADD_FAILURE() << "mitu-check did not finish";
        return run;
    }
    run.status = program.exitCode();
    const QByteArray out = program.readAllStandardOutput();
    run.report = nlohmann::json::parse(out.constData(), nullptr, false);
    EXPECT_FALSE(run.report.is_discarded()) << out.constData();
    return run;
}

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qApp)
            MITU_NEEDS_SERVICE("no Qt application");
        QString why;
        if (!pulseReachable(&why))
            MITU_NEEDS_SERVICE(why.toStdString());
        Form1Options options;
        options.settings = checks::ServiceSettings::defaults();
        form = std::make_unique<app::Form1>(std::move(options));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        QTest::qWait(50);
    }
    using Form1Options = app::Form1::Options;
    std::unique_ptr<app::Form1> form;
};

TEST_F(SoundTest, PlayWavePutsTheSampleOnTheDefaultOutputAndKeepsTheFocus) {
    MonitorCapture capture;
    capture.start();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    EXPECT_EQ(QApplication::focusWidget(), form->Command3);
    waitCollecting(capture, 3500);
    const auto [span, sound] = soundSpan(capture.stop());
    // The sample is 2.3 s long, a little of it silence at either end.
    EXPECT_GT(span, 1.6);
    EXPECT_LT(span, 2.6);
    EXPECT_GT(sound, 1.0);
}

TEST_F(SoundTest, PlayTextSpeaksTheSentenceAndReturnsWhenItHasBeenSpoken) {
    MonitorCapture capture;
    capture.start();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    const double handlerSeconds = clock.elapsed() / 1000.0;
    waitCollecting(capture, 700);
    const auto [span, sound] = soundSpan(capture.stop());
    EXPECT_GT(sound, 1.0) << "no speech on the sink";
    // The handler returned only after the sentence had been heard.
    EXPECT_GT(handlerSeconds, span * 0.8)
        << "returned after " << handlerSeconds << " s of " << span << " s of speech";
    ASSERT_NE(form->Speech, nullptr);
    EXPECT_DOUBLE_EQ(form->Speech->rate(), 0.2);
    EXPECT_EQ(form->voicesCreated(), 1);
}

TEST_F(SoundTest, EachPlayTextMakesANewVoiceAndReleasesTheOldOne) {
    form->Command1_Click();
    QPointer<QTextToSpeech> first = form->Speech.get();
    ASSERT_FALSE(first.isNull());
    form->Command1_Click();
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(form->voicesCreated(), 2);
    EXPECT_DOUBLE_EQ(form->Speech->rate(), 0.2);
}

TEST_F(SoundTest, RecordThenStopPlaysBackWhatTheMicrophoneHeard) {
    Tone tone;
    tone.start();
    QTest::qWait(300);
    QTest::mouseClick(form->Command5, Qt::LeftButton);
    EXPECT_EQ(form->Label2->text(), "Recording...");
    QTest::qWait(2500);
    tone.stop();
    // The tone's own stream drains with some latency, longer on a loaded
    // machine; the recording goes on meanwhile and only adds silence.
    QTest::qWait(1000);

    // The sink is quiet before Stop; what comes out after it is the recording.
    MonitorCapture capture;
    capture.start();
    const std::size_t beforeStop = capture.collect();
    QTest::mouseClick(form->Command6, Qt::LeftButton);
    EXPECT_EQ(form->Label2->text(), "Ready"); // while the recording is still heard
    waitCollecting(capture, 3500);
    std::vector<double> heard = capture.stop();
    ASSERT_GT(heard.size(), beforeStop);
    const std::vector<double> quiet(heard.begin(),
                                    heard.begin() + static_cast<std::ptrdiff_t>(beforeStop));
    heard.erase(heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(beforeStop));
    EXPECT_LT(soundSpan(quiet).second, 0.1) << "the tone still played before Stop";
    const auto [span, sound] = soundSpan(heard);
    EXPECT_GT(toneSeconds(heard), 1.0) << "the playback does not carry the 440 Hz tone (" << sound
                                       << " s of sound over " << span << " s)";
}

TEST_F(SoundTest, ASecondRecordStopsThePlaybackOfTheFirstAndReplacesItsSpool) {
    // The recording goes to a file without a name in the temporary folder,
    // not into memory; the next Record and the window's end remove it.
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const QByteArray oldTmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporary.path()));

    Tone tone;
    tone.start();
    QTest::qWait(300);
    form->Command5_Click();
    QTest::qWait(2000);
    tone.stop();
    QTest::qWait(1000); // let the tone's stream drain (see above)
    const std::vector<struct stat> first = openFilesIn(temporary.path());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_GT(first[0].st_size, 2 * 176400) << "not two seconds of 44.1 kHz 16-bit stereo";
    EXPECT_TRUE(QDir(temporary.path()).isEmpty()) << "the spool has a name";
    form->Command6_Click(); // plays 2 s of tone, then silence
    QTest::qWait(300);
    form->Command5_Click(); // "close all" ends that playback
    MonitorCapture capture;
    capture.start();
    waitCollecting(capture, 1000);
    EXPECT_LT(toneSeconds(capture.stop()), 0.1);
    // The new recording's spool only: the first one's has been released.
    EXPECT_EQ(openFilesIn(temporary.path()).size(), 1u);

    form->Command6_Click(); // the playback reads the spool through a handle of its own
    form.reset();
    EXPECT_TRUE(openFilesIn(temporary.path()).empty());
    if (oldTmpdir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", oldTmpdir);
}

} // namespace

// mitu-check's microphone and speaker checks, without a window: the
// fixture's window stays idle meanwhile.
TEST_F(SoundTest, MituCheckMicrophoneTellsATakeFromSilenceAndClipping) {
    Tone tone;
    tone.start(1000.0, 32768 * std::pow(10.0, -12 / 20.0), false, 44100); // -12 dBFS
    QTest::qWait(300);
    CheckRun run = runCheck({"microphone", "--seconds", "2"});
    tone.stop();
    EXPECT_EQ(run.status, 0);
    const nlohmann::json& mic = run.report["microphone"];
    EXPECT_EQ(mic["verdict"], "ok") << mic;
    ASSERT_TRUE(mic["peak_dbfs"].is_number()) << mic;
    EXPECT_NEAR(mic["peak_dbfs"].get<double>(), -12, 1.5);
    EXPECT_LT(mic["clipped_percent"].get<double>(), 0.1);
    EXPECT_FALSE(mic["device"].is_null());
    EXPECT_TRUE(mic["warning"].is_null()) << mic;
    EXPECT_EQ(run.report["ok"], true);
    QTest::qWait(1000); // the tone's stream drains

    // A tone on one channel only: a dead channel. Speech at -45 dBFS: too quiet.
    for (const double dbfs : {-12.0, -45.0}) {
        tone.start(1000.0, 32768 * std::pow(10.0, dbfs / 20), false, 44100, dbfs > -20);
        QTest::qWait(300);
        run = runCheck({"microphone", "--seconds", "1"});
        tone.stop();
        const auto& m = run.report["microphone"];
        EXPECT_EQ(m["verdict"].dump() + m["warning"].dump() + std::to_string(run.status),
                  dbfs > -20 ? "\"ok\"\"dead_channel\"0" : "\"too_quiet\"null1");
        QTest::qWait(1000);
    }

    run = runCheck({"microphone", "--seconds", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.report["microphone"]["verdict"], "silent") << run.report;
    EXPECT_TRUE(run.report["microphone"]["peak_dbfs"].is_null()); // not -inf

    tone.start(100.0, 32767, true, 44100);
    QTest::qWait(300);
    run = runCheck({"microphone", "--seconds", "1"});
    tone.stop();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.report["microphone"]["verdict"], "clipping") << run.report;
    QTest::qWait(1000);

    run = runCheck({"microphone", "--seconds", "1"}, nullptr,
                   {"PULSE_SERVER=unix:/nonexistent/mitu-no-server"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.report["microphone"]["verdict"], "unavailable") << run.report;
}

TEST_F(SoundTest, MituCheckSpeakersPlaysTheSampleAndTheSentence) {
    MonitorCapture capture;
    capture.start();
    CheckRun run = runCheck({"speakers"}, &capture);
    const auto [span, sound] = soundSpan(capture.stop());
    EXPECT_EQ(run.status, 0);
    const nlohmann::json& speakers = run.report["speakers"];
    EXPECT_EQ(speakers["verdict"], "ok") << speakers;
    EXPECT_GT(speakers["wave_seconds"].get<double>(), 2.0);
    EXPECT_GT(speakers["speech_seconds"].get<double>(), 1.0);
    // The sample and the sentence, one after the other.
    EXPECT_GT(sound, 3.0) << span;
}

TEST_F(SoundTest, MituCheckAllWritesOneReportWithEveryCheck) {
    ftptest::PyFtpServer server;
    std::filesystem::create_directory(server.root() / "incoming");
    ftptest::writeFile(server.root() / "test2.txt", ftptest::patternBytes(100000, 3));
    testing_stun::StunServer stun(testing_stun::StunServer::freePort());
    QTemporaryDir folder;
    CheckRun run = runCheck(
        {"all", "--server", "127.0.0.1", "--port", QString::number(server.port()), "--user",
         "anonymous", "--password", "guest@example.org", "--folder", folder.path(), "--address",
         "127.0.0.1", "--stun-server", QString::fromStdString(stun.server()), "--seconds", "1"});
    // The null sink's monitor hears nothing: the microphone is silent.
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.report["ok"], false);
    EXPECT_EQ(run.report["tool"], "mitu-check");
    EXPECT_EQ(run.report["connection"]["rating"], "Excellent") << run.report;
    EXPECT_EQ(run.report["connection"]["received"], 5);
    EXPECT_EQ(run.report["voice"]["udp_reachable"], stun.ready()) << run.report;
    // On loopback the file may come in one read: too short for a rate.
    EXPECT_EQ(run.report["bandwidth"]["download"]["bytes"], 100000) << run.report;
    EXPECT_EQ(run.report["bandwidth"]["upload"]["bytes"], 100000);
    EXPECT_TRUE(run.report["bandwidth"]["error"].is_null());
    EXPECT_EQ(run.report["microphone"]["verdict"], "silent");
    EXPECT_EQ(run.report["speakers"]["verdict"], "ok");
}
