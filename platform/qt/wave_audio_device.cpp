#include "platform/qt/wave_audio_device.h"

#include <QAudioSink>
#include <QAudioSource>
#include <QDir>
#include <QMediaDevices>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace platform::qt {

namespace {

constexpr qint64 RecordLatencyMicroseconds = 50000;

QAudioFormat::SampleFormat sampleFormatFor(int bitsPerSample) {
    switch (bitsPerSample) {
    case 8:
        return QAudioFormat::UInt8; // 8-bit wave audio is unsigned
    case 32:
        return QAudioFormat::Int32;
    default:
        return QAudioFormat::Int16;
    }
}

// A file in the temporary folder that has no name, open for reading and
// writing; -1 if none can be made. Where the file system cannot make an
// unnamed file, a named one is made and its name removed at once.
int unnamedTemporaryFile() {
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    QByteArray pattern = folder + "/mitu-recording-XXXXXX";
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0)
        ::unlink(pattern.constData());
    return fd;
}

} // namespace

WaveAudioDevice::WaveAudioDevice() {
    // The wave-audio device's own defaults until a "set" says otherwise.
    m_format.setChannelCount(1);
    m_format.setSampleRate(11025);
    m_format.setSampleFormat(QAudioFormat::UInt8);
}

WaveAudioDevice::~WaveAudioDevice() {
    close();
}

std::unique_ptr<platform::WaveAudioDevice> WaveAudioDevice::create() {
    return std::make_unique<WaveAudioDevice>();
}

void WaveAudioDevice::setChannels(int channels) {
    m_format.setChannelCount(channels);
}

void WaveAudioDevice::setSamplesPerSecond(int samplesPerSecond) {
    m_format.setSampleRate(samplesPerSecond);
}

void WaveAudioDevice::setBitsPerSample(int bitsPerSample) {
    m_format.setSampleFormat(sampleFormatFor(bitsPerSample));
}

qint64 WaveAudioDevice::bytesFor(std::int64_t milliseconds) const {
    const qint64 frames = milliseconds * m_format.sampleRate() / 1000;
    return frames * m_format.bytesPerFrame();
}

void WaveAudioDevice::seek(std::int64_t milliseconds) {
    m_position = std::min<qint64>(bytesFor(milliseconds), recordedBytes());
}

qint64 WaveAudioDevice::recordedBytes() const {
    return m_spool ? m_spool->size() : 0;
}

bool WaveAudioDevice::openSpool() {
    m_spool.reset();
    const int fd = unnamedTemporaryFile();
    if (fd < 0)
        return false;
    // Unbuffered: each block the source delivers goes straight to the file,
    // and the file's size is always what has been recorded.
    m_spool = std::make_unique<QFile>();
    if (!m_spool->open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                       QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        m_spool.reset();
        return false;
    }
    return true;
}

bool WaveAudioDevice::record() {
    endRecording();
    endPlayback();
    // What lay after the position is recorded over; a recording from the
    // start gets a new file, and the old one goes.
    // Without a sound server there is no input device either.
    const QAudioDevice input = QMediaDevices::defaultAudioInput();
    if (input.isNull()) {
        m_failure = "no recording device was found, or no sound server is running";
        return false;
    }
    m_failure = "the recording could not be stored in the temporary folder";
    if (m_position == 0 || !m_spool) {
        m_position = 0;
        if (!openSpool())
            return false;
    } else if (!m_spool->resize(m_position) || !m_spool->seek(m_position)) {
        return false;
    }
    m_failure = "the sound server refused the recording";
    m_source = std::make_unique<QAudioSource>(input, m_format);
    // A short buffer: with the server's default fragment size the first
    // second of speech would arrive late or not at all.
    m_source->setBufferSize(m_format.bytesForDuration(RecordLatencyMicroseconds));
    m_source->start(m_spool.get());
    if (m_source->error() != QAudio::NoError) {
        endRecording();
        return false;
    }
    m_failure.clear();
    return true;
}

void WaveAudioDevice::endRecording() {
    if (!m_source)
        return;
    m_source->stop();
    m_source.reset();
    // Whole frames only, so playback stays aligned.
    const qint64 size = m_spool->size();
    const int frame = m_format.bytesPerFrame();
    const qint64 whole = frame > 0 ? size - size % frame : size;
    if (whole != size)
        m_spool->resize(whole);
    m_position = whole;
}

void WaveAudioDevice::endPlayback() {
    if (m_sink) {
        m_sink->stop();
        m_sink.reset();
    }
    m_playFile.reset();
}

void WaveAudioDevice::stop() {
    endRecording();
    endPlayback();
}

bool WaveAudioDevice::play(std::int64_t milliseconds) {
    endRecording();
    endPlayback();
    if (!m_spool)
        return true; // nothing recorded: nothing to hear
    // A reader with a position of its own, on the same unnamed file.
    m_playFile = std::make_unique<QFile>(QStringLiteral("/proc/self/fd/%1").arg(m_spool->handle()));
    if (!m_playFile->open(QIODevice::ReadOnly)) {
        m_playFile.reset();
        return false;
    }
    m_playFile->seek(std::min<qint64>(bytesFor(milliseconds), m_playFile->size()));
    const QAudioDevice output = QMediaDevices::defaultAudioOutput();
    if (output.isNull()) {
        m_failure = "no playback device was found, or no sound server is running";
        endPlayback();
        return false;
    }
    m_sink = std::make_unique<QAudioSink>(output, m_format);
    m_sink->start(m_playFile.get());
    // On the sink's own timing; the call returns while it plays.
    if (m_sink->error() != QAudio::NoError) {
        m_failure = "the sound server refused the playback";
        endPlayback();
        return false;
    }
    return true;
}

void WaveAudioDevice::close() {
    endRecording();
    endPlayback();
    m_spool.reset(); // the recording's file goes with it
    m_position = 0;
}

} // namespace platform::qt
