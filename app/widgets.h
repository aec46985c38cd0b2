#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QTextLayout>
#include <QWidget>

#include <memory>

namespace app {

// Positions and sizes are given in twips, 1440 to the inch of the screen's
// logical resolution: 15 twips to the pixel at 96 DPI.
class Twips {
public:
    explicit Twips(double logicalDpi) : m_dpi(logicalDpi) {}
    // The resolution of the primary screen (96 where there is none).
    static Twips forScreen();

    int px(int twips) const;
    QRect rect(int left, int top, int width, int height) const;
    double dpi() const { return m_dpi; }

private:
    double m_dpi;
};

// The program's stand-in for the classic sans-serif dialog fonts: the
// system's sans-serif family at the given point size.
QFont sansFont(double pointSize);

// A push button that shows its icon above its caption, as the window's
// picture buttons do, and that keeps the focus when an arrow key reaches it
// (arrow keys move between options, not between buttons).
class CommandButton : public QPushButton {
public:
    CommandButton(const QString& caption, const QIcon& icon, QWidget* parent);
    explicit CommandButton(const QString& caption, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// A frame drawn as the classic dialog frame: an etched line whose top runs
// through the middle of the caption, so that controls placed just below
// the caption sit inside the frame (a toolkit's group box puts its whole
// caption above the line, and its line through them).
class FrameBox : public QGroupBox {
public:
    FrameBox(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A label that reports a left click; with an access key also Alt+key, and
// Space or Enter while it has the focus, which the Tab key gives it.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    void setAccessKey(Qt::Key key);
signals:
    void clicked();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// A word-wrapped label that keeps every space of its text (runs of blanks
// leave gaps, which other controls may sit in) and can say where a given
// character of its text is drawn.
class WrappedTextLabel : public QWidget {
public:
    WrappedTextLabel(const QString& text, QWidget* parent);

    QString text() const { return m_text; }
    // The rectangle of the run of characters [from, from + count) on the
    // line where it starts, in this widget's coordinates.
    QRectF characterRange(int from, int count);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void layOut();

    QString m_text;
    std::unique_ptr<QTextLayout> m_layout;
};

} // namespace app
