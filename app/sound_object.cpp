#include "app/sound_object.h"

#include <QAudioFormat>
#include <QAudioSink>
#include <QFile>
#include <QMediaDevices>
#include <QPainter>
#include <QSvgRenderer>

namespace app {

SoundObject::SoundObject(QWidget* parent)
    : QWidget(parent),
      m_picture(std::make_unique<QSvgRenderer>(QStringLiteral(":/mitu/sound_object.svg"))) {
    QFile file(QStringLiteral(":/mitu/sample.wav"));
    if (file.open(QIODevice::ReadOnly))
        m_bytes = file.readAll();
    m_sample = WaveFile::parse(std::string_view(m_bytes.constData(), m_bytes.size()));
    if (m_sample)
        m_data = QByteArray::fromRawData(m_sample->data.data(),
                                         static_cast<qsizetype>(m_sample->data.size()));
}

SoundObject::~SoundObject() {
    if (m_sink)
        m_sink->stop();
}

bool SoundObject::isPlaying() const {
    return m_sink && m_sink->state() == QAudio::ActiveState;
}

void SoundObject::DoVerb(int verb) {
    if (verb != 0 || !m_sample)
        return;
    if (m_sink) {
        m_sink->stop();
        m_sink.reset();
    }
    QAudioFormat format;
    format.setChannelCount(m_sample->channels);
    format.setSampleRate(m_sample->samplesPerSecond);
    format.setSampleFormat(m_sample->bitsPerSample == 8 ? QAudioFormat::UInt8
                                                        : QAudioFormat::Int16);
    m_buffer = std::make_unique<QBuffer>(&m_data);
    m_buffer->open(QIODevice::ReadOnly);
    m_sink = std::make_unique<QAudioSink>(QMediaDevices::defaultAudioOutput(), format);
    // The sink pulls from the buffer on its own timing; the call returns
    // while the sample plays, and the sink goes idle at its end.
    m_sink->start(m_buffer.get());
}

void SoundObject::paintEvent(QPaintEvent*) {
    // The object's box reaches past the window's bottom edge; the picture
    // keeps its proportions inside the part of the box that shows.
    QRect shown = rect();
    if (QWidget* owner = parentWidget())
        shown &= QRect(mapFromParent(QPoint(0, 0)), owner->size());
    QSizeF size = m_picture->defaultSize();
    if (size.isEmpty() || shown.isEmpty())
        return;
    size.scale(QSizeF(shown.size()), Qt::KeepAspectRatio);
    QPainter painter(this);
    m_picture->render(&painter, QRectF(QPointF(shown.topLeft()), size));
}

} // namespace app
