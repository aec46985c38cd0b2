#pragma once

#include "platform/media_commands.h"

#include <QAudioFormat>
#include <QBuffer>
#include <QByteArray>

#include <memory>

class QAudioSink;
class QAudioSource;

namespace platform::qt {

// A wave-audio device of the media command strings on Qt Multimedia: it
// records from the default input device into memory and plays that
// recording on the default output device.
class WaveAudioDevice : public platform::WaveAudioDevice {
public:
    WaveAudioDevice();
    ~WaveAudioDevice() override;

    void setChannels(int channels) override;
    void setSamplesPerSecond(int samplesPerSecond) override;
    void setBitsPerSample(int bitsPerSample) override;
    void seek(std::int64_t milliseconds) override;
    bool record() override;
    void stop() override;
    bool play(std::int64_t milliseconds) override;
    void close() override;

    const QAudioFormat& format() const { return m_format; }
    // Bytes recorded so far (while recording, what has arrived).
    qsizetype recordedBytes() const { return m_recording.size(); }

    // The device factory for platform::MediaCommands.
    static std::unique_ptr<platform::WaveAudioDevice> create();

private:
    qint64 bytesFor(std::int64_t milliseconds) const;
    void endRecording();
    void endPlayback();

    QAudioFormat m_format;
    QByteArray m_recording;
    qint64 m_position = 0; // byte offset where the next record starts
    std::unique_ptr<QBuffer> m_recordBuffer;
    std::unique_ptr<QAudioSource> m_source;
    QByteArray m_playData;
    std::unique_ptr<QBuffer> m_playBuffer;
    std::unique_ptr<QAudioSink> m_sink;
};

} // namespace platform::qt
