#pragma once

#include "app/wave_file.h"

#include <QBuffer>
#include <QByteArray>
#include <QWidget>

#include <memory>
#include <optional>

class QAudioSink;
class QSvgRenderer;

namespace app {

// The embedded sound sample: a small picture on the window that carries a
// short wave recording compiled into the program, and plays it when asked
// to carry out its primary verb.
class SoundObject : public QWidget {
public:
    explicit SoundObject(QWidget* parent);
    ~SoundObject() override;

    // Verb 0 plays the sample once on the default output device and returns
    // at once; a new play starts the sample again from its beginning. Other
    // verbs do nothing.
    void DoVerb(int verb = 0);

    // The sample as parsed from the program's resources (null if the
    // resource is damaged, in which case nothing plays).
    const std::optional<WaveFile>& sample() const { return m_sample; }
    bool isPlaying() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QByteArray m_bytes;
    std::optional<WaveFile> m_sample;
    QByteArray m_data;
    std::unique_ptr<QSvgRenderer> m_picture;
    std::unique_ptr<QBuffer> m_buffer;
    std::unique_ptr<QAudioSink> m_sink;
};

} // namespace app
