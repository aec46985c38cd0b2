#pragma once

#include "app/form2.h"
#include "app/sound_object.h"
#include "app/widgets.h"
#include "checks/bandwidth_test.h"
#include "checks/connection_test.h"
#include "checks/service_settings.h"
#include "platform/qt/settings_file.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextToSpeech>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {
class MediaCommands;
}

namespace app {

// The main window: the four checks, the link to the explanation window, the
// state the checks share and the two clocks of the bandwidth test.
class Form1 : public QWidget {
    Q_OBJECT
public:
    // Sends one media command string and returns its result code.
    using CommandSender = std::function<std::uint32_t(const std::string&)>;

    struct Options {
        // Null: the window's own interpreter on the default audio devices.
        CommandSender mciSendString;
        checks::ServiceSettings settings =
            checks::ServiceSettings::load(platform::qt::readSettingsFile);
        // Null: real echo requests (PingMod::SendEchoRequest).
        ConnectionTest::EchoProbe echoProbe;
        // Folder of the bandwidth test's local file; empty: the program's folder.
        std::string bandwidthFolder;
    };

    static const QString Title;
    static const QString SpokenSentence;
    static const QString SampleQuotation;

    Form1();
    explicit Form1(Options options);
    ~Form1() override;

    // --- controls -------------------------------------------------------
    QGroupBox* Frame1;
    QLabel* Label3;
    CommandButton* Command5;
    CommandButton* Command6;
    QLabel* Label1;
    QLabel* Label2;
    ClickLabel* Label4;
    QTimer* Timer4;

    QGroupBox* Frame2;
    QLabel* Label5;
    CommandButton* Command1;
    QLabel* Label16;
    QLabel* Label17;
    CommandButton* Command3;
    SoundObject* OLE1;

    QGroupBox* Frame3;
    CommandButton* Command2;
    CommandButton* Command4;
    QLabel* Label6;
    QLineEdit* Text6;
    QLabel* Label13;
    QPlainTextEdit* Text1;
    QLabel* Label14;
    QLineEdit* Text3;
    QLabel* Label15;
    QPlainTextEdit* Text4;
    QPlainTextEdit* Text2;
    QLineEdit* Text5;
    QTimer* Timer3;

    // --- state the checks share -----------------------------------------
    std::unique_ptr<QTextToSpeech> Speech;
    // The bandwidth test with its state: UploadTime, FTPConnected, ct,
    // TotalBytes and the FTP client m_objFtpClient.
    BandwidthTest::Test& bandwidth() { return *m_bandwidth; }

    const checks::ServiceSettings& settings() const { return m_settings; }
    // The explanation window while it is open.
    Form2* explanationWindow() const { return m_form2; }
    // How often the activation steps have run.
    int activationCount() const { return m_activations; }
    // How many voice objects Play Text has made (each click makes one).
    int voicesCreated() const { return m_voicesCreated; }

    // --- handlers (public so that tests can drive them as a click would) -
    void Form_Activate();
    void Label4_Click();
    void Timer3_Timer();
    void Timer4_Timer();
    void Command5_Click();
    void Command6_Click();
    void Command1_Click();
    void Command3_Click();
    void Command2_Click();
    void Command4_Click();

    // A modal box with an OK button and no icon, titled with the program's
    // title; the text is shown as it is.
    void showMessage(const std::string& text);

signals:
    // The user closed the window: the program ends.
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void setTabOrder();
    void watchActivation();
    void explanationUnloaded();
    void activateBandwidthTest();
    std::uint32_t mciSendString(const std::string& command);
    void speakAndWait(const QString& text);

    checks::ServiceSettings m_settings;
    // What the bandwidth test drives: Text2, Text5, Command4, the message
    // boxes, and the clocks Timer3 and Timer4.
    std::unique_ptr<BandwidthTest::Controls> m_bandwidthControls;
    std::unique_ptr<BandwidthTest::Clock> m_clock3;
    std::unique_ptr<BandwidthTest::Clock> m_clock4;
    std::shared_ptr<BandwidthTest::Test> m_bandwidth;
    bool m_closed = false;
    CommandSender m_sender;
    ConnectionTest::EchoProbe m_echoProbe;
    std::unique_ptr<platform::MediaCommands> m_mediaCommands;
    QPointer<Form2> m_form2;
    enum class ActiveForm { None, Main, Explanation };
    ActiveForm m_lastActive = ActiveForm::None;
    bool m_shownOnce = false;
    int m_activations = 0;
    int m_voicesCreated = 0;
};

} // namespace app
