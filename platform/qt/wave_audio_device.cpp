#include "platform/qt/wave_audio_device.h"

#include <QAudioSink>
#include <QAudioSource>
#include <QMediaDevices>

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
    m_position = std::min<qint64>(bytesFor(milliseconds), m_recording.size());
}

bool WaveAudioDevice::record() {
    endRecording();
    endPlayback();
    // What lay after the position is recorded over.
    m_recording.truncate(m_position);
    m_recordBuffer = std::make_unique<QBuffer>(&m_recording);
    m_recordBuffer->open(QIODevice::WriteOnly | QIODevice::Append);
    m_source = std::make_unique<QAudioSource>(QMediaDevices::defaultAudioInput(), m_format);
    // A short buffer: with the server's default fragment size the first
    // second of speech would arrive late or not at all.
    m_source->setBufferSize(m_format.bytesForDuration(RecordLatencyMicroseconds));
    m_source->start(m_recordBuffer.get());
    if (m_source->error() != QAudio::NoError) {
        endRecording();
        return false;
    }
    return true;
}

void WaveAudioDevice::endRecording() {
    if (!m_source)
        return;
    m_source->stop();
    m_source.reset();
    m_recordBuffer->close();
    m_recordBuffer.reset();
    // Whole frames only, so playback stays aligned.
    const int frame = m_format.bytesPerFrame();
    if (frame > 0)
        m_recording.truncate(m_recording.size() - m_recording.size() % frame);
    m_position = m_recording.size();
}

void WaveAudioDevice::endPlayback() {
    if (m_sink) {
        m_sink->stop();
        m_sink.reset();
    }
    m_playBuffer.reset();
}

void WaveAudioDevice::stop() {
    endRecording();
    endPlayback();
}

bool WaveAudioDevice::play(std::int64_t milliseconds) {
    endRecording();
    endPlayback();
    m_playData = m_recording; // shared, not copied, while nobody records
    m_playBuffer = std::make_unique<QBuffer>(&m_playData);
    m_playBuffer->open(QIODevice::ReadOnly);
    m_playBuffer->seek(std::min<qint64>(bytesFor(milliseconds), m_playData.size()));
    m_sink = std::make_unique<QAudioSink>(QMediaDevices::defaultAudioOutput(), m_format);
    m_sink->start(m_playBuffer.get());
    // On the sink's own timing; the call returns while it plays.
    if (m_sink->error() != QAudio::NoError) {
        endPlayback();
        return false;
    }
    return true;
}

void WaveAudioDevice::close() {
    endRecording();
    endPlayback();
    m_recording.clear();
    m_position = 0;
}

} // namespace platform::qt
