#include "app/widgets.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QTextOption>

#include <cmath>

namespace app {

Twips Twips::forScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    return Twips(screen ? screen->logicalDotsPerInchX() : 96.0);
}

int Twips::px(int twips) const {
    return static_cast<int>(std::lround(twips * m_dpi / 1440.0));
}

QRect Twips::rect(int left, int top, int width, int height) const {
    return QRect(px(left), px(top), px(width), px(height));
}

QFont sansFont(double pointSize) {
    // The captions were laid out for a narrow dialog font; Liberation Sans
    // keeps them inside their controls where the default sans-serif (often
    // DejaVu Sans, a wide face) would cut them off.
    static const QString family =
        QFontDatabase::hasFamily(QStringLiteral("Liberation Sans"))
            ? QStringLiteral("Liberation Sans")
            : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setStretch(92);
    font.setPointSizeF(pointSize);
    return font;
}

// --- CommandButton ----------------------------------------------------------

CommandButton::CommandButton(const QString& caption, const QIcon& icon, QWidget* parent)
    : QPushButton(icon, caption, parent) {}

CommandButton::CommandButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {}

void CommandButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    // The bevel and focus frame from the style; caption and icon laid out
    // here, the icon centred above the caption.
    const QString caption = option.text;
    option.text.clear();
    option.icon = QIcon();
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);

    const QFontMetrics metrics(font());
    const int textHeight = metrics.height();
    const QRect inner = rect().adjusted(2, 2, -2, -2);
    int iconSize = 0;
    if (!icon().isNull())
        iconSize = std::max(0, std::min(16, inner.height() - textHeight - 1));
    const int top = inner.top() + (inner.height() - iconSize - textHeight - (iconSize ? 1 : 0)) / 2;
    const int shift = isDown() ? 1 : 0;
    if (iconSize > 0) {
        const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
        const QRect iconRect(inner.left() + (inner.width() - iconSize) / 2 + shift, top + shift,
                             iconSize, iconSize);
        icon().paint(&painter, iconRect, Qt::AlignCenter, mode);
    }
    const QRect textRect(inner.left() + shift, top + iconSize + (iconSize ? 1 : 0) + shift,
                         inner.width(), textHeight);
    style()->drawItemText(&painter, textRect, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), caption, QPalette::ButtonText);
}

void CommandButton::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
        event->accept();
        return;
    default:
        QPushButton::keyPressEvent(event);
    }
}

// --- FrameBox ----------------------------------------------------------------

void FrameBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QFontMetrics metrics(font());
    const QColor face = palette().color(QPalette::Window);
    // Etched: a dark line with a light one inside and below it.
    const QRect line = rect().adjusted(0, metrics.height() / 2, -2, -2);
    painter.setPen(face.darker(150));
    painter.drawRect(line);
    painter.setPen(face.lighter(150));
    painter.drawRect(line.translated(1, 1));
    if (title().isEmpty())
        return;
    const int indent = metrics.averageCharWidth();
    const QRect caption(indent, 0, metrics.horizontalAdvance(title()) + indent, metrics.height());
    painter.fillRect(caption, face);
    style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), title(), QPalette::WindowText);
}

// --- ClickLabel -------------------------------------------------------------

void ClickLabel::setAccessKey(Qt::Key key) {
    setFocusPolicy(Qt::StrongFocus);
    grabShortcut(QKeySequence(Qt::ALT | key));
}

bool ClickLabel::event(QEvent* event) {
    if (event->type() == QEvent::Shortcut) {
        setFocus(Qt::ShortcutFocusReason);
        emit clicked();
        return true;
    }
    return QLabel::event(event);
}

void ClickLabel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit clicked();
        event->accept();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

void ClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = contentsRect();
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

// --- WrappedTextLabel -------------------------------------------------------

WrappedTextLabel::WrappedTextLabel(const QString& text, QWidget* parent)
    : QWidget(parent), m_text(text) {}

void WrappedTextLabel::layOut() {
    m_layout = std::make_unique<QTextLayout>(m_text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    m_layout->setTextOption(option);
    m_layout->beginLayout();
    qreal y = 0;
    for (;;) {
        QTextLine line = m_layout->createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width());
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    m_layout->endLayout();
}

QRectF WrappedTextLabel::characterRange(int from, int count) {
    if (!m_layout)
        layOut();
    QTextLine line = m_layout->lineForTextPosition(from);
    if (!line.isValid())
        return {};
    const qreal x1 = line.cursorToX(from);
    // A run that wraps ends at the end of its line.
    const int end = std::min(from + count, line.textStart() + line.textLength());
    const qreal x2 = std::max(x1, line.cursorToX(end));
    return QRectF(x1, line.y(), x2 - x1, line.height());
}

void WrappedTextLabel::paintEvent(QPaintEvent*) {
    if (!m_layout)
        layOut();
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    m_layout->draw(&painter, QPointF(0, 0));
}

void WrappedTextLabel::resizeEvent(QResizeEvent*) {
    m_layout.reset();
}

void WrappedTextLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        m_layout.reset();
    QWidget::changeEvent(event);
}

} // namespace app
