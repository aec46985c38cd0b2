// The window on a real X server (the test services' Xvfb at 96 DPI, with
// no window manager): its client area in pixels, screenshots for a person
// to look at, results as the real fonts lay them out, and a window that is
// shown but never activated.
#include "app/form1.h"
#include "ftp_test_servers.h"
#include "needs_service.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qApp)
            MITU_NEEDS_SERVICE("no X display (DISPLAY is not set)");
        open(options());
    }

    static app::Form1::Options options() {
        app::Form1::Options options;
        options.mciSendString = [](const std::string&) { return 0u; };
        options.settings = checks::ServiceSettings::defaults();
        return options;
    }
    void open(app::Form1::Options options) {
        form.reset();
        form = std::make_unique<app::Form1>(std::move(options));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        QTest::qWait(300); // painted
    }

    // Grabs what the X server shows of a window (frame excluded) and saves it.
    static QImage screenshot(QWidget* window, const QString& name) {
        QScreen* screen = window->screen();
        QImage image = screen->grabWindow(window->winId()).toImage();
        QDir dir(QStringLiteral(MITU_SCREENSHOT_DIR));
        dir.mkpath(QStringLiteral("."));
        const QString path = dir.filePath(name);
        EXPECT_TRUE(image.save(path)) << path.toStdString();
        std::printf("screenshot: %s\n", qPrintable(path));
        return image;
    }

    static int colours(const QImage& image) {
        QSet<QRgb> seen;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                seen.insert(image.pixel(x, y));
        return static_cast<int>(seen.size());
    }

    std::unique_ptr<app::Form1> form;
};

TEST_F(WindowTest, TheClientAreaIs614By277PixelsAt96Dpi) {
    QScreen* screen = form->screen();
    ASSERT_NE(screen, nullptr);
    ASSERT_EQ(screen->logicalDotsPerInchX(), 96.0) << "the test display runs at another DPI";
    EXPECT_EQ(form->windowHandle()->geometry().size(), QSize(614, 277));
    const QImage image = screenshot(form.get(), QStringLiteral("form1.png"));
    EXPECT_EQ(image.size(), QSize(614, 277));
    // Drawn: the grey face, frames, text, icons.
    EXPECT_GT(colours(image), 20);
    EXPECT_EQ(image.pixelColor(3, 270), QColor(0xC0, 0xC0, 0xC0));
}

TEST_F(WindowTest, TheExplanationWindowIsCentredOverItsOwner) {
    form->Label4_Click();
    app::Form2* explanation = form->explanationWindow();
    ASSERT_NE(explanation, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(explanation));
    QTest::qWait(300);
    EXPECT_EQ(explanation->windowHandle()->geometry().size(), QSize(414, 323));
    const QPoint ownerCentre = form->geometry().center();
    const QPoint centre = explanation->geometry().center();
    EXPECT_LE((ownerCentre - centre).manhattanLength(), 4);
    const QImage image = screenshot(explanation, QStringLiteral("form2.png"));
    EXPECT_GT(colours(image), 10);
    explanation->close();
}

TEST_F(WindowTest, AShownWindowThatWasNeverActivatedLogsInOnItsFirstBandwidthClick) {
    namespace fs = std::filesystem;
    ftptest::PyFtpServer server;
    fs::create_directory(server.root() / "incoming");
    ftptest::writeFile(server.root() / "test2.txt", ftptest::patternBytes(50000, 7));
    char pattern[] = "/tmp/mitu-window-XXXXXX";
    const fs::path folder = ::mkdtemp(pattern);
    app::Form1::Options o = options();
    o.settings.ftpServer = "127.0.0.1";
    o.settings.ftpPort = static_cast<std::uint16_t>(server.port());
    o.settings.ftpUser = "anonymous";
    o.bandwidthFolder = folder.string();
    open(std::move(o));
    ASSERT_EQ(form->activationCount(), 0) << "something activated the window";
    std::vector<QString> messages;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            messages.push_back(box->text());
            box->accept();
        }
    });
    closer.start(20);
    QTest::mouseClick(form->Command4, Qt::LeftButton);
    closer.stop();
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
    const QStringList lines = form->Text2->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 5) << form->Text2->toPlainText().toStdString();
    EXPECT_TRUE(lines[0].startsWith("Download Excellent: ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[2].startsWith("Upload Excellent: ")) << lines[2].toStdString();
    EXPECT_TRUE(fs::exists(server.root() / "incoming" / "test2up.txt"));
    fs::remove_all(folder);
}

// A probe that stays silent until the test lets it answer (at most five
// seconds), and notes whether a click was handled while it waited.
struct SilentProbe {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool answer = false, clicked = false, clickedWhileWaiting = false;
        int requests = 0;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    ConnectionTest::EchoProbe probe() const {
        return [state = state](const std::string&, PingMod::EchoReply&) {
            std::unique_lock lock(state->mutex);
            ++state->requests;
            const bool clickedBefore = state->clicked;
            state->changed.wait_for(lock, std::chrono::seconds(5), [&] { return state->answer; });
            state->clickedWhileWaiting |= state->clicked && !clickedBefore;
            return 1;
        };
    }
    void set(bool State::*flag) {
        std::lock_guard lock(state->mutex);
        state.get()->*flag = true;
        state->changed.notify_all();
    }
};

TEST_F(WindowTest, AClickIsAnsweredWhileAnEchoRequestWaits) {
    SilentProbe silent;
    app::Form1::Options o = options();
    o.echoProbe = silent.probe();
    open(std::move(o));
    QString statusMeanwhile;
    bool bandwidthButtonMeanwhile = true;
    QObject::connect(form->Label4, &app::ClickLabel::clicked, [&] {
        statusMeanwhile = form->Text4->toPlainText();
        bandwidthButtonMeanwhile = form->Command4->isEnabled();
        silent.set(&SilentProbe::State::clicked);
        silent.set(&SilentProbe::State::answer);
    });
    QTimer::singleShot(300, [&] { QTest::mouseClick(form->Label4, Qt::LeftButton); });
    form->Command2_Click();
    EXPECT_TRUE(silent.state->clickedWhileWaiting) << "the click waited for the request";
    EXPECT_EQ(statusMeanwhile, "Testing...");
    EXPECT_FALSE(bandwidthButtonMeanwhile) << "a second test could start meanwhile";
    EXPECT_NE(form->explanationWindow(), nullptr);
    EXPECT_EQ(form->Text4->toPlainText(), "Excellent");
    EXPECT_TRUE(form->Command4->isEnabled());
}

TEST_F(WindowTest, ClosingTheWindowEndsATestThatWaits) {
    SilentProbe silent;
    app::Form1::Options o = options();
    o.echoProbe = silent.probe();
    open(std::move(o));
    QTimer::singleShot(300, [&] { form->close(); });
    form->Command2_Click();
    std::lock_guard lock(silent.state->mutex);
    EXPECT_FALSE(silent.state->answer);
    EXPECT_EQ(silent.state->requests, 1) << "the test went on after the window closed";
}

TEST_F(WindowTest, ResultsStayOneLineEachAndAllInSight) {
    // Later requests that fail list as ">10000 ms", wider than the box.
    std::vector<std::int32_t> answers{10, -11010, -11010, -11010, -11010, -11010};
    std::size_t next = 0;
    app::Form1::Options o = options();
    o.echoProbe = [&](const std::string&, PingMod::EchoReply&) { return answers.at(next++); };
    open(std::move(o));
    form->Command2_Click();
    QTest::qWait(100); // laid out and painted
    ASSERT_EQ(form->Text1->toPlainText(), "10 ms\n>10000 ms\n>10000 ms\n>10000 ms\n>10000 ms\n");
    QTextBlock block = form->Text1->document()->firstBlock();
    for (int result = 0; result < 5; ++result, block = block.next()) {
        ASSERT_TRUE(block.isValid());
        EXPECT_EQ(block.layout()->lineCount(), 1) << "result " << result + 1 << " wraps";
        const QRect where = form->Text1->cursorRect(QTextCursor(block));
        EXPECT_GE(where.top(), 0) << "result " << result + 1 << " is out of sight";
        EXPECT_LE(where.bottom(), form->Text1->viewport()->height())
            << "result " << result + 1 << " is out of sight";
    }
    screenshot(form.get(), QStringLiteral("form1-results.png"));
}

} // namespace
