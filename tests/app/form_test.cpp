// The windows on Qt's offscreen platform: start-up state, activation, the
// explanation window and the microphone buttons (through a recording fake
// of the media command strings).
#include "app/form1.h"
#include "app/form2.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using app::Form1;
using app::Form2;

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qApp)
            GTEST_SKIP() << "no Qt application";
        Form1::Options options;
        options.mciSendString = [this](const std::string& command) -> std::uint32_t {
            commands.push_back(command);
            // An error the window must not care about, but for the recording.
            if (command == "record capture")
                return refuseRecording ? 6 : 0;
            return 263;
        };
        options.settings = checks::ServiceSettings::defaults();
        form = std::make_unique<Form1>(std::move(options));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        settle();
    }
    void TearDown() override {
        form.reset();
        settle();
    }
    // Lets queued events (the synthetic key, activations) be handled.
    static void settle() {
        for (int i = 0; i < 5; ++i)
            QApplication::processEvents();
        QTest::qWait(20);
    }
    QWidget* focus() const { return QApplication::focusWidget(); }

    std::unique_ptr<Form1> form;
    std::vector<std::string> commands;
    bool refuseRecording = false;
};

TEST_F(FormTest, StartsReadyWithRecordFocusedStopDisabledAndEmptyDisplays) {
    EXPECT_EQ(form->windowTitle(), "Microphone and Internet Test Utility");
    EXPECT_EQ(focus(), form->Command5);
    EXPECT_TRUE(form->Command5->isEnabled());
    EXPECT_FALSE(form->Command6->isEnabled());
    EXPECT_EQ(form->Label2->text(), "Ready");
    for (QPlainTextEdit* box : {form->Text1, form->Text4, form->Text2})
        EXPECT_TRUE(box->toPlainText().isEmpty()) << box->objectName().toStdString();
    EXPECT_TRUE(form->Text3->text().isEmpty());
    EXPECT_TRUE(form->Text5->text().isEmpty());
    EXPECT_EQ(form->Text6->text().toStdString(), checks::ServiceSettings::defaults().pingAddress);
    EXPECT_EQ(form->activationCount(), 1);
    EXPECT_TRUE(commands.empty());
    // The clocks: Timer4 runs from start-up, Timer3 waits for a test.
    EXPECT_TRUE(form->Timer4->isActive());
    EXPECT_EQ(form->Timer4->interval(), 1000);
    EXPECT_FALSE(form->Timer3->isActive());
    EXPECT_EQ(form->Timer3->interval(), 100);
    EXPECT_EQ(form->bandwidth().UploadTime, 0);
    EXPECT_EQ(form->bandwidth().FTPConnected, 0);
    EXPECT_EQ(form->bandwidth().TotalBytes, 0);
    EXPECT_EQ(form->Speech, nullptr);
}

TEST_F(FormTest, CaptionsAndTextsAreTheUtilitysOwn) {
    EXPECT_EQ(form->Frame1->title(), "Test Microphone");
    // The window carries the program's icon (the desktop entry's, too).
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_FALSE(form->windowIcon().pixmap(32, 32).isNull());
    EXPECT_EQ(form->Frame2->title(), "Test Speakers");
    EXPECT_EQ(form->Frame3->title(), "Test Internet Connection");
    EXPECT_EQ(form->Command5->text(), "&Record");
    EXPECT_EQ(form->Command6->text(), "&Stop");
    EXPECT_EQ(form->Command1->text(), "Play &Text");
    EXPECT_EQ(form->Command3->text(), "Play &Wave");
    EXPECT_EQ(form->Command2->text(), "Test &Connection");
    EXPECT_EQ(form->Command4->text(), "&Upload and Download Test");
    EXPECT_EQ(form->Label5->text(), "Click the buttons below to test your speakers. ");
    EXPECT_EQ(form->Label16->text(), "\"Testing your speakers using text-to-speech module\".");
    EXPECT_EQ(form->Label17->text(), "\"The only thing we have to fear is fear itself\"");
    EXPECT_EQ(form->Label4->text(), "Explanation of this utility");
    EXPECT_EQ(form->Label4->toolTip(), "Click here for more detailed explanations");
    EXPECT_TRUE(form->Label4->font().underline());
    // Display boxes: read-only but Text5, none reachable by Tab.
    for (QWidget* box : std::initializer_list<QWidget*>{form->Text1, form->Text2, form->Text3,
                                                        form->Text4, form->Text5})
        EXPECT_EQ(box->focusPolicy(), Qt::ClickFocus) << box->objectName().toStdString();
    EXPECT_TRUE(form->Text1->isReadOnly());
    EXPECT_TRUE(form->Text3->isReadOnly());
    EXPECT_FALSE(form->Text5->isReadOnly());
    EXPECT_FALSE(form->Text6->isReadOnly());
}

TEST_F(FormTest, TheClientAreaAndControlsFollowTheTwipsAtTheScreensResolution) {
    const app::Twips t = app::Twips::forScreen();
    EXPECT_EQ(form->size(), QSize(t.px(9210), t.px(4155)));
    EXPECT_EQ(form->Frame3->geometry(), t.rect(4320, 0, 4815, 4095));
    EXPECT_EQ(form->Command3->parentWidget(), form.get()); // lies over Frame2, on the window
    EXPECT_EQ(form->Command3->geometry(), t.rect(720, 3400, 975, 615));
    EXPECT_EQ(form->Text5->parentWidget(), form->Frame3);
    EXPECT_EQ(form->Text5->geometry(), t.rect(2400, 2160, 2055, 375));
    if (t.dpi() == 96) {
        EXPECT_EQ(form->size(), QSize(614, 277));
    }
    // The results box holds five of its widest lines whole, clear of its neighbours.
    const QFontMetrics metrics(form->Text1->font());
    const QRect room = form->Text1->viewport()->contentsRect();
    EXPECT_GE(room.width(), metrics.horizontalAdvance(QStringLiteral(">10000 ms")) + 2);
    EXPECT_GE(room.height(), 5 * metrics.lineSpacing());
    EXPECT_LT(form->Text1->geometry().right(), form->Text2->geometry().left());
    EXPECT_LT(form->Text1->geometry().bottom(), form->Text3->geometry().top());
}

TEST_F(FormTest, TabVisitsTheControlsInTheirOrderAndSkipsDisplayBoxes) {
    std::vector<QString> visited;
    for (int i = 0; i < 8; ++i) {
        visited.push_back(focus() ? focus()->objectName() : QString());
        QTest::keyClick(focus(), Qt::Key_Tab);
    }
    // Stop is disabled at start-up, so it is skipped; the explanation link
    // is a stop of its own.
    EXPECT_EQ(visited, (std::vector<QString>{"Command5", "Label4", "Command1", "Command3",
                                             "Command2", "Text6", "Command4", "Command5"}));
    // Its access key opens the explanation.
    QTest::keyClick(form->windowHandle(), Qt::Key_E, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->explanationWindow() != nullptr; }, 2000));
    EXPECT_TRUE(form->explanationWindow()->isVisible());
}

TEST_F(FormTest, RecordThenStopSendTheCommandStringsAndSwapTheButtons) {
    // An access key clicks its button the way a mouse would, after the
    // button has shown itself pressed for a moment.
    QTest::keyClick(form->windowHandle(), Qt::Key_R, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !commands.empty(); }, 2000));
    EXPECT_EQ(commands,
              (std::vector<std::string>{"close all", "open new type waveaudio alias capture",
                                        "set capture channels 2", "seek capture to start",
                                        "set capture samplespersec 44100",
                                        "set capture bitspersample 16", "record capture"}));
    EXPECT_FALSE(form->Command5->isEnabled());
    EXPECT_TRUE(form->Command6->isEnabled());
    EXPECT_EQ(focus(), form->Command6);
    EXPECT_EQ(form->Label2->text(), "Recording...");

    commands.clear();
    QTest::keyClick(form->windowHandle(), Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !commands.empty(); }, 2000));
    EXPECT_EQ(commands, (std::vector<std::string>{"stop capture", "play capture from 0"}));
    EXPECT_TRUE(form->Command5->isEnabled());
    EXPECT_FALSE(form->Command6->isEnabled());
    EXPECT_EQ(focus(), form->Command5);
    EXPECT_EQ(form->Label2->text(), "Ready");

    // Stop cannot be used again now; Record starts over with "close all".
    commands.clear();
    QTest::keyClick(form->windowHandle(), Qt::Key_S, Qt::AltModifier);
    QTest::qWait(300);
    EXPECT_TRUE(commands.empty());
    QTest::mouseClick(form->Command5, Qt::LeftButton);
    settle();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "close all");
    EXPECT_EQ(form->Label2->text(), "Recording...");
}

TEST_F(FormTest, RecordThatCannotStartSaysWhyAndStaysReady) {
    refuseRecording = true;
    QString shown;
    QTimer::singleShot(50, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->windowTitle() + "|" + box->text();
            box->accept();
        }
    });
    form->Command5_Click();
    EXPECT_EQ(shown, app::Form1::Title + "|The recording could not start: error 6.");
    EXPECT_EQ(form->Label2->text(), "Ready");
    EXPECT_TRUE(form->Command5->isEnabled() && !form->Command6->isEnabled());
}

TEST_F(FormTest, TheLeftArrowOfTheActivationLeavesTheFocusOnRecord) {
    QTest::keyClick(form->Command5, Qt::Key_Left);
    settle();
    EXPECT_EQ(focus(), form->Command5);
    // An activation while recording (Record disabled) keeps the focus on Stop.
    form->Command5_Click();
    form->Form_Activate();
    settle();
    EXPECT_EQ(focus(), form->Command6);
}

TEST_F(FormTest, ExplanationWindowOpensOnceAndItsClosingActivatesTheMainWindowAgain) {
    form->Command1->setFocus(); // somewhere else than Record
    QTest::mouseClick(form->Label4, Qt::LeftButton);
    settle();
    Form2* explanation = form->explanationWindow();
    ASSERT_NE(explanation, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(explanation));
    EXPECT_EQ(explanation->windowTitle(), "Explanation");
    EXPECT_EQ(explanation->parentWidget(), form.get());
    EXPECT_TRUE(explanation->isWindow());
    const Qt::WindowFlags flags = explanation->windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog); // owned: no taskbar entry
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(explanation->minimumSize(), explanation->maximumSize());
    EXPECT_EQ(explanation->Label1->text(), Form2::ExplanationText);
    EXPECT_TRUE(Form2::ExplanationText.contains("Recording Properties:         If you"));
    EXPECT_TRUE(Form2::ExplanationText.endsWith("information on sound cards"));
    EXPECT_EQ(form->activationCount(), 1);
    EXPECT_TRUE(form->isEnabled()); // modeless

    // The link again brings the same window forward.
    QTest::mouseClick(form->Label4, Qt::LeftButton);
    settle();
    EXPECT_EQ(form->explanationWindow(), explanation);

    explanation->close();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    settle();
    EXPECT_EQ(form->explanationWindow(), nullptr);
    EXPECT_EQ(form->activationCount(), 2);
    EXPECT_EQ(focus(), form->Command5);
}

TEST_F(FormTest, ComingBackFromAWindowThatIsNotTheExplanationIsNoActivation) {
    // Another program's window, or a message box: the main window becomes
    // active again without running its activation steps.
    QWidget other;
    other.setWindowTitle(QStringLiteral("another window"));
    other.resize(200, 100);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    form->Command1->setFocus();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    settle();
    EXPECT_EQ(form->activationCount(), 1);
    other.close();
}

TEST_F(FormTest, ThePanelButtonSitsInTheGapAfterThePrompt) {
    form->Label4_Click();
    Form2* explanation = form->explanationWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(explanation));
    const int at = Form2::ExplanationText.indexOf(Form2::PanelPrompt) + Form2::PanelPrompt.size();
    const QRectF gap = explanation->Label1->characterRange(at, 9);
    ASSERT_FALSE(gap.isEmpty());
    const QRect button = explanation->Command1->geometry().translated(-explanation->Label1->pos());
    // The button covers none of the words on either side of the gap.
    const QRectF before = explanation->Label1->characterRange(at - 1, 1);
    EXPECT_GE(button.left(), before.right() - 1);
    EXPECT_LE(button.right(), gap.right() + 1);
    EXPECT_TRUE(button.intersects(gap.toRect()));
    EXPECT_EQ(explanation->Command1->text(), ">");
    explanation->close();
}

TEST_F(FormTest, ThePanelButtonStartsTheVolumeControlOnItsInputTab) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString argsFile = dir.filePath("args");
    const QString stub = dir.filePath("pavucontrol");
    {
        QFile script(stub);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\necho \"$@\" > '%1.tmp' && mv '%1.tmp' '%1'\n")
                         .arg(argsFile)
                         .toUtf8());
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", dir.path().toUtf8() + ":" + oldPath);
    form->Label4_Click();
    Form2* explanation = form->explanationWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(explanation));
    QTest::mouseClick(explanation->Command1, Qt::LeftButton);
    qputenv("PATH", oldPath);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(argsFile); }, 5000));
    QFile args(argsFile);
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    EXPECT_EQ(args.readAll().trimmed(), "--tab=4");
    // Nothing waits for the panel: the explanation window is still there.
    EXPECT_TRUE(explanation->isVisible());
    explanation->close();
}

TEST_F(FormTest, AMissingVolumeControlShowsNothing) {
    const QByteArray oldPath = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", empty.path().toUtf8());
    form->Label4_Click();
    Form2* explanation = form->explanationWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(explanation));
    QTest::mouseClick(explanation->Command1, Qt::LeftButton);
    qputenv("PATH", oldPath);
    settle();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) {
            EXPECT_TRUE(w == form.get() || w == explanation) << w->metaObject()->className();
        }
    }
    explanation->close();
}

TEST_F(FormTest, TheClocksCount) {
    form->Timer3->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->bandwidth().UploadTime >= 3; }, 2000));
    form->Timer3->stop();
    // ct counts from start-up whether or not a test runs.
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->bandwidth().ct >= 1; }, 2500));
}

TEST_F(FormTest, TheEmbeddedSampleIsTheBuiltInWaveInItsFormat) {
    const auto& sample = form->OLE1->sample();
    ASSERT_TRUE(sample.has_value());
    EXPECT_EQ(sample->channels, 1);
    EXPECT_EQ(sample->samplesPerSecond, 11025);
    EXPECT_EQ(sample->bitsPerSample, 8);
    EXPECT_EQ(sample->data.size(), 25411u);
    EXPECT_NEAR(sample->seconds(), 2.3, 0.05);
    EXPECT_EQ(form->OLE1->focusPolicy(), Qt::NoFocus);
}

} // namespace
