#include "app/form1.h"

#include "ping/ping_mod.h"
#include "platform/media_commands.h"
#include "platform/program.h"
#include "platform/qt/loop_bridge.h"
#include "platform/qt/wave_audio_device.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QWindow>

#include <algorithm>

namespace app {

const QString Form1::Title = QStringLiteral("Microphone and Internet Test Utility");
const QString Form1::SpokenSentence =
    QStringLiteral("Testing your speakers using text-to-speech module");
// The words of the built-in sample (app/resources/sample.wav).
const QString Form1::SampleQuotation =
    QStringLiteral("The only thing we have to fear is fear itself");

namespace {

const QColor Grey(0xC0, 0xC0, 0xC0);

// The bandwidth test's view of the window.
class BandwidthControls : public BandwidthTest::Controls {
public:
    BandwidthControls(Form1& form, const bool& closed) : m_form(form), m_closed(closed) {}
    // Text2 as the test wrote it (CR LF line ends); the box shows plain lines.
    std::string results() override { return m_results; }
    void setResults(const std::string& text) override {
        m_results = text;
        m_form.Text2->setPlainText(
            QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }
    void setProgress(const std::string& text) override {
        m_form.Text5->setText(QString::fromStdString(text));
        m_form.Text5->setCursorPosition(0); // the count first, where the rate does not fit
        m_form.Text5->setToolTip(m_form.Text5->text());
    }
    void setButtonEnabled(bool enabled) override { m_form.Command4->setEnabled(enabled); }
    void showMessage(const std::string& text) override { m_form.showMessage(text); }
    bool closed() override { return m_closed; }

private:
    Form1& m_form;
    const bool& m_closed;
    std::string m_results;
};

class TimerClock : public BandwidthTest::Clock {
public:
    explicit TimerClock(QTimer* timer) : m_timer(timer) {}
    void start() override { m_timer->start(); }
    void stop() override { m_timer->stop(); }

private:
    QTimer* m_timer;
};

QIcon icon(const char* name) {
    return QIcon(QStringLiteral(":/mitu/%1.svg").arg(name));
}

template <typename W> W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, const QRect& where) {
    auto* l = named(new QLabel(caption, parent), name);
    l->setGeometry(where);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

// A box the program writes into: the window's grey, skipped by the Tab key.
void makeDisplayBox(QWidget* box) {
    QPalette p = box->palette();
    p.setColor(QPalette::Base, Grey);
    box->setPalette(p);
    box->setFocusPolicy(Qt::ClickFocus);
}

QPlainTextEdit* multiLineDisplay(QWidget* parent, const char* name, const QRect& where) {
    auto* box = named(new QPlainTextEdit(parent), name);
    box->setGeometry(where);
    makeDisplayBox(box);
    box->setReadOnly(true);
    box->setFrameShape(QFrame::NoFrame);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    box->document()->setDocumentMargin(1);
    return box;
}

QLineEdit* lineDisplay(QWidget* parent, const char* name, const QRect& where, bool readOnly) {
    auto* box = named(new QLineEdit(parent), name);
    box->setGeometry(where);
    makeDisplayBox(box);
    box->setReadOnly(readOnly);
    box->setFrame(!readOnly); // the read-only boxes are flat
    return box;
}

} // namespace

Form1::Form1() : Form1(Options{}) {}

Form1::Form1(Options options)
    : m_settings(std::move(options.settings)), m_sender(std::move(options.mciSendString)),
      m_echoProbe(std::move(options.echoProbe)) {
    if (!m_sender)
        m_mediaCommands =
            std::make_unique<platform::MediaCommands>(&platform::qt::WaveAudioDevice::create);
    // Form_Load does nothing.
    buildControls();
    m_bandwidthControls = std::make_unique<BandwidthControls>(*this, m_closed);
    m_clock3 = std::make_unique<TimerClock>(Timer3);
    m_clock4 = std::make_unique<TimerClock>(Timer4);
    BandwidthTest::Settings bandwidthSettings;
    bandwidthSettings.ftpServer = m_settings.ftpServer;
    bandwidthSettings.ftpPort = m_settings.ftpPort;
    bandwidthSettings.ftpUser = m_settings.ftpUser;
    bandwidthSettings.ftpPassword = m_settings.ftpPassword;
    bandwidthSettings.folder =
        options.bandwidthFolder.empty() ? platform::localFileFolder() : options.bandwidthFolder;
    m_bandwidth = BandwidthTest::Test::create(*m_bandwidthControls, *m_clock3, *m_clock4,
                                              std::move(bandwidthSettings));
    setTabOrder();
    watchActivation();
}

Form1::~Form1() {
    // The explanation window and the voice go with the window; the audio
    // devices are closed before the widgets they might report to.
    m_mediaCommands.reset();
}

void Form1::buildControls() {
    const Twips t = Twips::forScreen();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Title);
    setWindowIcon(icon("mitu")); // the desktop entry's icon, too
    setFixedSize(t.px(9210), t.px(4155));
    setFont(sansFont(8.25));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Grey);
    p.setColor(QPalette::WindowText, Qt::black);
    setPalette(p);

    // --- Test Microphone ----------------------------------------------------
    Frame1 = named(new FrameBox(QStringLiteral("Test Microphone"), this), "Frame1");
    Frame1->setGeometry(t.rect(120, 0, 4095, 2055));
    Label3 = label(Frame1, "Label3",
                   QStringLiteral("Press Alt+R or click the record button and speak into your "
                                  "microphone for a few seconds. Then press Alt+S or the stop "
                                  "button and listen for your recording"),
                   t.rect(120, 360, 3495, 855));
    Label3->setWordWrap(true);
    Command5 =
        named(new CommandButton(QStringLiteral("&Record"), icon("record"), Frame1), "Command5");
    Command5->setGeometry(t.rect(120, 1440, 735, 495));
    Command6 = named(new CommandButton(QStringLiteral("&Stop"), icon("stop"), Frame1), "Command6");
    Command6->setGeometry(t.rect(840, 1440, 735, 495));
    Command6->setEnabled(false);
    Label1 = label(Frame1, "Label1", QStringLiteral("Status:"), t.rect(1680, 1380, 615, 255));
    Label2 = label(Frame1, "Label2", QStringLiteral("Ready"), t.rect(2280, 1380, 1335, 255));
    Label4 = named(new ClickLabel(QStringLiteral("Explanation of this utility"), Frame1), "Label4");
    // Reachable from the keyboard: Alt+E, and a stop of the Tab key.
    Label4->setAccessKey(Qt::Key_E);
    Label4->setGeometry(t.rect(2280, 1680, 1695, 255));
    Label4->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont linkFont = sansFont(8.25);
    linkFont.setUnderline(true);
    Label4->setFont(linkFont);
    QPalette linkPalette = Label4->palette();
    linkPalette.setColor(QPalette::WindowText, Qt::blue);
    Label4->setPalette(linkPalette);
    Label4->setToolTip(QStringLiteral("Click here for more detailed explanations"));
    Timer4 = named(new QTimer(this), "Timer4");
    Timer4->setInterval(1000);

    // --- Test Speakers --------------------------------------------------------
    Frame2 = named(new FrameBox(QStringLiteral("Test Speakers"), this), "Frame2");
    Frame2->setGeometry(t.rect(120, 2280, 4095, 1815));
    Label5 =
        label(Frame2, "Label5", QStringLiteral("Click the buttons below to test your speakers. "),
              t.rect(240, 240, 3495, 255));
    Command1 = named(new CommandButton(QStringLiteral("Play &Text"), icon("play_text"), Frame2),
                     "Command1");
    Command1->setGeometry(t.rect(600, 480, 975, 615));
    Label16 = label(Frame2, "Label16", QStringLiteral("\"%1\".").arg(SpokenSentence),
                    t.rect(1800, 600, 2055, 615));
    Label16->setWordWrap(true);
    Label16->setFont(sansFont(8.25));
    Label17 = label(Frame2, "Label17", QStringLiteral("\"%1\"").arg(SampleQuotation),
                    t.rect(1800, 1200, 2055, 495));
    Label17->setWordWrap(true);
    // On the window, lying over the frame.
    Command3 =
        named(new CommandButton(QStringLiteral("Play &Wave"), icon("play_wave"), this), "Command3");
    Command3->setGeometry(t.rect(720, 3400, 975, 615));
    OLE1 = named(new SoundObject(this), "OLE1");
    OLE1->setGeometry(t.rect(3600, 3840, 615, 495));

    // --- Test Internet Connection --------------------------------------------
    Frame3 = named(new FrameBox(QStringLiteral("Test Internet Connection"), this), "Frame3");
    Frame3->setGeometry(t.rect(4320, 0, 4815, 4095));
    Command2 = named(
        new CommandButton(QStringLiteral("Test &Connection"), icon("test_connection"), Frame3),
        "Command2");
    Command2->setGeometry(t.rect(120, 240, 1335, 735));
    Command2->setFont(sansFont(6.75));
    Command4 = named(
        new CommandButton(QStringLiteral("&Upload and Download Test"), icon("transfer"), Frame3),
        "Command4");
    Command4->setGeometry(t.rect(2520, 240, 1815, 735));
    Command4->setFont(sansFont(6.75));
    Label6 = label(Frame3, "Label6", QStringLiteral("IP"), t.rect(120, 1005, 240, 255));
    Text6 = named(new QLineEdit(QString::fromStdString(m_settings.pingAddress), Frame3), "Text6");
    Text6->setGeometry(t.rect(360, 960, 1095, 285));
    QPalette editPalette = Text6->palette();
    editPalette.setColor(QPalette::Base, Qt::white);
    Text6->setPalette(editPalette);
    Label13 = label(Frame3, "Label13", QStringLiteral("Results"), t.rect(120, 1320, 615, 255));
    Text1 = multiLineDisplay(Frame3, "Text1", t.rect(720, 1320, 615, 975));
    // One line per result, each whole: the box grows, into the free space
    // on its right and down to the Total row, to hold five of the widest.
    Text1->setLineWrapMode(QPlainTextEdit::NoWrap);
    {
        const QFontMetrics metrics(Text1->font());
        const int margins = 2 * static_cast<int>(Text1->document()->documentMargin()) +
                            2 * Text1->frameWidth() + metrics.averageCharWidth();
        const int width = metrics.horizontalAdvance(QStringLiteral(">10000 ms")) + margins;
        const int height = 5 * metrics.lineSpacing() + margins;
        Text1->resize(std::max(Text1->width(), std::min(width, t.px(2280 - 120 - 720))),
                      std::max(Text1->height(), std::min(height, t.px(2520 - 1320))));
    }
    Label14 = label(Frame3, "Label14", QStringLiteral("Total"), t.rect(120, 2520, 615, 255));
    Text3 = lineDisplay(Frame3, "Text3", t.rect(600, 2520, 1695, 285), true);
    Label15 = label(Frame3, "Label15", QStringLiteral("Status"), t.rect(120, 3240, 615, 255));
    Text4 = multiLineDisplay(Frame3, "Text4", t.rect(720, 3240, 1695, 735));
    Text2 = multiLineDisplay(Frame3, "Text2", t.rect(2280, 1080, 2175, 975));
    Text5 = lineDisplay(Frame3, "Text5", t.rect(2400, 2160, 2055, 375), false);
    Timer3 = named(new QTimer(this), "Timer3");
    Timer3->setInterval(100);

    for (QWidget* w : {static_cast<QWidget*>(Frame1), static_cast<QWidget*>(Frame2),
                       static_cast<QWidget*>(Frame3), static_cast<QWidget*>(OLE1)})
        w->setFocusPolicy(Qt::NoFocus);

    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Label4, &ClickLabel::clicked, this, &Form1::Label4_Click);
    connect(Timer3, &QTimer::timeout, this, &Form1::Timer3_Timer);
    connect(Timer4, &QTimer::timeout, this, &Form1::Timer4_Timer);
    Timer4->start();
}

void Form1::setTabOrder() {
    QWidget* order[] = {Command5, Command6, Label4, Command1, Command3, Command2, Text6, Command4};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

// --- activation ----------------------------------------------------------------

void Form1::watchActivation() {
    // The window is "activated" when it becomes the program's active window:
    // at its first showing and when the focus comes back to it from the
    // explanation window, not when the user switches in from another
    // program (the focus window passes through null then, and the last of
    // the program's windows to be active was this one).
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        if (!window)
            return;
        if (window == windowHandle()) {
            const bool activate = m_lastActive != ActiveForm::Main;
            m_lastActive = ActiveForm::Main;
            if (activate)
                Form_Activate();
        } else if (m_form2 && window == m_form2->windowHandle()) {
            m_lastActive = ActiveForm::Explanation;
        }
    });
}

void Form1::Form_Activate() {
    ++m_activations;
    activateBandwidthTest();
    // A disabled button cannot take the focus (during a recording Record
    // is disabled); the focus then stays where it is.
    if (Command5->isEnabled())
        Command5->setFocus(Qt::OtherFocusReason);
    // One press of the Left-arrow key for the focused control, queued
    // behind whatever is pending rather than handled now.
    if (QWidget* target = QApplication::focusWidget()) {
        QCoreApplication::postEvent(target,
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier));
        QCoreApplication::postEvent(
            target, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Left, Qt::NoModifier));
    }
}

void Form1::activateBandwidthTest() {
    // A new FTP client at every activation; the one held before is released.
    m_bandwidth->Activate();
}

void Form1::showEvent(QShowEvent* event) {
    if (!m_shownOnce) {
        m_shownOnce = true;
        // Showing the window activates it where a window manager hands it
        // the focus; where none does (no window manager, a kiosk session,
        // focus-stealing prevention) the bandwidth test still needs its
        // client. A later activation replaces it as usual.
        if (!m_bandwidth->m_objFtpClient)
            activateBandwidthTest();
        if (QScreen* s = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(s->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}

void Form1::closeEvent(QCloseEvent* event) {
    m_closed = true; // a bandwidth test still waiting ends quietly
    if (m_form2)
        m_form2->deleteLater();
    QWidget::closeEvent(event);
    emit closed();
}

// --- explanation window ------------------------------------------------------

void Form1::showMessage(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, Title, QString::fromStdString(text), QMessageBox::Ok,
                    this);
    box.setTextFormat(Qt::PlainText); // a server's words are never markup
    box.exec();
}

void Form1::Label4_Click() {
    if (!m_form2) {
        m_form2 = new Form2(this);
        connect(m_form2, &Form2::unloaded, this, &Form1::explanationUnloaded);
    }
    m_form2->showOverOwner();
}

void Form1::explanationUnloaded() {
    // The explanation window's Form_Unload gives the focus back here.
    activateWindow();
    raise();
}

// --- clocks --------------------------------------------------------------------

void Form1::Timer3_Timer() {
    // Handles what is pending, before and after counting, without waiting:
    // a blocking yield here would stretch the 100 ms tick.
    m_bandwidth->Timer3_Timer(platform::qt::processPendingEvents);
}

void Form1::Timer4_Timer() {
    m_bandwidth->Timer4_Timer();
}

void Form1::Command4_Click() {
    // The connection test would run nested in this one's waits.
    const bool connectionWasEnabled = Command2->isEnabled();
    Command2->setEnabled(false);
    m_bandwidth->Command4_Click();
    Command2->setEnabled(connectionWasEnabled);
}

// --- microphone ------------------------------------------------------------------

std::uint32_t Form1::mciSendString(const std::string& command) {
    return m_sender ? m_sender(command) : m_mediaCommands->sendString(command);
}

void Form1::Command5_Click() {
    // Result codes are not looked at: without a recording device the user
    // simply hears nothing, and the explanation window says what to check.
    mciSendString("close all");
    mciSendString("open new type waveaudio alias capture");
    mciSendString("set capture channels 2");
    mciSendString("seek capture to start");
    mciSendString("set capture samplespersec 44100");
    mciSendString("set capture bitspersample 16");
    if (const std::uint32_t result = mciSendString("record capture"); result != 0) {
        // Nothing records: the window stays ready and says why.
        std::string why = m_mediaCommands ? m_mediaCommands->lastFailure() : std::string();
        if (why.empty())
            why = "error " + std::to_string(result);
        showMessage("The recording could not start: " + why + ".");
        return;
    }
    Command5->setEnabled(false);
    Command6->setEnabled(true);
    Command6->setFocus(Qt::OtherFocusReason);
    Label2->setText(QStringLiteral("Recording..."));
}

void Form1::Command6_Click() {
    mciSendString("stop capture");
    mciSendString("play capture from 0");
    Command5->setEnabled(true);
    Command6->setEnabled(false);
    Command5->setFocus(Qt::OtherFocusReason);
    Label2->setText(QStringLiteral("Ready"));
}

// --- speakers ------------------------------------------------------------------------

void Form1::Command1_Click() {
    // A new voice for every click. Flite speaks without any daemon, so it is
    // preferred where it is installed.
    const QString engine = QTextToSpeech::availableEngines().contains(QStringLiteral("flite"))
                               ? QStringLiteral("flite")
                               : QString();
    // The voice held before is released before the new one is made: Qt's
    // flite engine shares its synthesizer between voice objects and
    // unloads it when one of them ends, under the feet of a newer one.
    Speech.reset();
    Speech = std::make_unique<QTextToSpeech>(engine);
    ++m_voicesCreated;
    // Rate 2 on a scale of -10 to 10 is 0.2 on Qt's scale of -1 to 1.
    Speech->setRate(0.2);
    speakAndWait(SpokenSentence);
}

void Form1::speakAndWait(const QString& text) {
    QTextToSpeech* voice = Speech.get();
    if (voice->state() == QTextToSpeech::Error)
        return; // no engine: nothing to hear, nothing shown
    QEventLoop wait;
    bool started = false;
    connect(voice, &QTextToSpeech::stateChanged, &wait, [&](QTextToSpeech::State state) {
        if (state == QTextToSpeech::Speaking)
            started = true;
        else if (state == QTextToSpeech::Error || started)
            wait.quit();
    });
    // An engine that never starts, or never finishes, must not hold the
    // window for ever.
    QTimer startGuard;
    startGuard.setSingleShot(true);
    connect(&startGuard, &QTimer::timeout, &wait, [&] {
        if (!started)
            wait.quit();
    });
    QTimer endGuard;
    endGuard.setSingleShot(true);
    connect(&endGuard, &QTimer::timeout, &wait, &QEventLoop::quit);
    voice->say(text);
    if (voice->state() == QTextToSpeech::Speaking)
        started = true;
    if (voice->state() == QTextToSpeech::Error)
        return;
    startGuard.start(10000);
    endGuard.start(60000);
    // The window repaints and the event loop's components run on, but
    // clicks and keys wait until the sentence has been spoken.
    wait.exec(QEventLoop::ExcludeUserInputEvents);
}

void Form1::Command3_Click() {
    OLE1->DoVerb(0);
    Command3->setFocus(Qt::OtherFocusReason);
}

// --- Internet connection test ----------------------------------------------------

namespace {

// The connection check's boxes are this window's controls.
class ConnectionControls : public ConnectionTest::Controls {
public:
    ConnectionControls(Form1& form, const bool& closed) : m_form(form), m_closed(closed) {}
    std::string address() override { return m_form.Text6->text().toStdString(); }
    void setResults(const std::string& text) override {
        m_form.Text1->setPlainText(
            QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }
    void setTotal(const std::string& text) override {
        m_form.Text3->setText(QString::fromStdString(text));
    }
    void setStatus(const std::string& text) override {
        m_form.Text4->setPlainText(QString::fromStdString(text));
    }
    void setButtonEnabled(bool enabled) override { m_form.Command2->setEnabled(enabled); }
    void focusStatus() override { m_form.Text4->setFocus(Qt::OtherFocusReason); }
    void showFailureReason(const std::string& text) override {
        m_form.Text4->appendPlainText(QStringLiteral("(%1)").arg(QString::fromStdString(text)));
    }
    void showEchoNotPermitted(const std::string& text) override {
        QMessageBox box(QMessageBox::Warning, Form1::Title, QString::fromStdString(text),
                        QMessageBox::Ok, &m_form);
        box.exec();
    }
    void yieldToMessageLoop() override { platform::qt::processPendingEvents(); }
    bool closed() override { return m_closed; }
    void setRunning(bool running) override {
        // The bandwidth test would run nested in this one's waits.
        if (running) {
            m_bandwidthWasEnabled = m_form.Command4->isEnabled();
            m_form.Command4->setEnabled(false);
            m_form.Text4->setPlainText(QStringLiteral("Testing..."));
        } else {
            m_form.Command4->setEnabled(m_bandwidthWasEnabled);
            m_form.Text4->clear();
        }
    }

private:
    Form1& m_form;
    const bool& m_closed;
    bool m_bandwidthWasEnabled = true;
};

} // namespace

void Form1::Command2_Click() {
    // The probe's socket-library problems appear as modal boxes over this
    // window, for the length of the click.
    PingMod::setMessageBoxSink([this](const std::string& text, PingMod::MessageBoxIcon icon) {
        QMessageBox box(icon == PingMod::MessageBoxIcon::Exclamation ? QMessageBox::Warning
                                                                     : QMessageBox::NoIcon,
                        Title, QString::fromStdString(text), QMessageBox::Ok, this);
        box.exec();
    });
    ConnectionControls controls(*this, m_closed);
    try {
        ConnectionTest::Run(controls, m_echoProbe);
    } catch (...) {
        // Nothing may reach Qt's loop; the buttons must not stay dead.
        controls.setRunning(false);
        Command2->setEnabled(true);
    }
    PingMod::setMessageBoxSink({});
}

} // namespace app
