#include "app/form2.h"

#include <QCloseEvent>
#include <QProcess>

namespace app {

const QString Form2::ExplanationText = QStringLiteral(
    "This utility is designed to test if you have a working microphone and sound card. It also "
    "checks if you have an active Internet connection or however, a personal or corporate "
    "firewall may still block your connection to the conference room. When recording is "
    "pressed, a small \"WAV\" file is recorded locally on you machine. When you press stop, this "
    "recording is played back to you. If you do not hear your voice after pressing stop, check "
    "to make sure you have the microphone selected in the Recording Properties. Click here to "
    "open Recording Properties:         If you receive an error while trying to use this "
    "utility, it is likely that you do not have a sound card installed or your sound card "
    "drivers have failed. Consult your computer manual for more information on sound cards");

const QString Form2::PanelPrompt = QStringLiteral("Click here to open Recording Properties:");

std::function<void()> Form2::startRecordingPanel = [] {
    // The desktop's PulseAudio volume control, on its input-devices tab.
    // Whether it started is not looked at.
    QProcess::startDetached(QStringLiteral("pavucontrol"), {QStringLiteral("--tab=4")});
};

Form2::Form2(QWidget* owner) : QWidget(owner) {
    setObjectName(QStringLiteral("Form2"));
    setAttribute(Qt::WA_DeleteOnClose);
    // A dialog of its owner: no taskbar entry, no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Explanation"));

    const Twips t = Twips::forScreen();
    setFont(sansFont(8.25));
    setFixedSize(t.px(6210), t.px(4845));
    setAutoFillBackground(true);
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, QColor(0x80, 0x80, 0xFF));
    setPalette(windowPalette);

    Label1 = new WrappedTextLabel(ExplanationText, this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(t.rect(240, 120, 5775, 4695));
    Label1->setFont(sansFont(12));
    Label1->setAutoFillBackground(true);
    QPalette labelPalette = Label1->palette();
    labelPalette.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xFF));
    labelPalette.setColor(QPalette::WindowText, Qt::black);
    Label1->setPalette(labelPalette);

    Command1 = new CommandButton(QStringLiteral(">"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(t.rect(5280, 2800, 375, 315));
    connect(Command1, &QPushButton::clicked, this, &Form2::Command1_Click);
}

void Form2::showOverOwner() {
    if (!isVisible()) {
        placePanelButton();
        if (QWidget* owner = parentWidget()) {
            QRect frame = geometry();
            frame.moveCenter(owner->geometry().center());
            move(frame.topLeft());
        }
    }
    show();
    raise();
    activateWindow();
}

void Form2::showEvent(QShowEvent* event) {
    placePanelButton();
    QWidget::showEvent(event);
}

void Form2::placePanelButton() {
    // The text wraps by this system's fonts, not the ones the layout was
    // drawn with, so the button follows the gap wherever it falls.
    const int at = ExplanationText.indexOf(PanelPrompt);
    if (at < 0)
        return;
    const int gapStart = at + PanelPrompt.size();
    const QRectF gap = Label1->characterRange(gapStart, 9);
    if (gap.isEmpty())
        return;
    QRect button = Command1->geometry();
    const int x = Label1->x() + static_cast<int>(gap.left() + (gap.width() - button.width()) / 2);
    const int y = Label1->y() + static_cast<int>(gap.center().y()) - button.height() / 2;
    button.moveTo(std::clamp(x, 0, width() - button.width()),
                  std::clamp(y, 0, height() - button.height()));
    Command1->setGeometry(button);
}

void Form2::Command1_Click() {
    if (startRecordingPanel)
        startRecordingPanel();
}

void Form2::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    Form_Unload();
}

void Form2::Form_Unload() {
    emit unloaded();
}

} // namespace app
