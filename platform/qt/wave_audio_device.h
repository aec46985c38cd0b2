#pragma once

#include "platform/media_commands.h"

#include <QAudioFormat>
#include <QFile>

#include <memory>
#include <string>

class QAudioSink;
class QAudioSource;

namespace platform::qt {

// A wave-audio device of the media command strings on Qt Multimedia: it
// records from the default input device and plays that recording on the
// default output device. The recording is spooled to a temporary file
// (about 176 KB a second at 44100 Hz, 16 bits, 2 channels), so memory
// stays flat however long it runs. The file has no name in the temporary
// folder: it goes when a recording from the start replaces it and when the
// device closes, and nothing is left behind if the program is killed.
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
    std::string failure() const override { return m_failure; }

    const QAudioFormat& format() const { return m_format; }
    // Bytes recorded so far (while recording, what has arrived).
    qint64 recordedBytes() const;

    // The device factory for platform::MediaCommands.
    static std::unique_ptr<platform::WaveAudioDevice> create();

private:
    qint64 bytesFor(std::int64_t milliseconds) const;
    void endRecording();
    void endPlayback();

    bool openSpool();

    QAudioFormat m_format;
    // The recording: raw frames from the start of the file.
    std::unique_ptr<QFile> m_spool;
    qint64 m_position = 0; // byte offset where the next record starts
    std::unique_ptr<QAudioSource> m_source;
    std::unique_ptr<QFile> m_playFile; // a reader of its own on the spool
    std::unique_ptr<QAudioSink> m_sink;
    std::string m_failure; // why the last record or play could not start
};

} // namespace platform::qt
