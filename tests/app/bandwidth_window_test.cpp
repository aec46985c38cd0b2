// The Upload and Download Test button on Qt's offscreen platform, against
// a real FTP server on loopback, with the window's own clocks.
#include "app/form1.h"
#include "ftp_test_servers.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using app::Form1;

class BandwidthWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qApp)
            GTEST_SKIP() << "no Qt application";
        char pattern[] = "/tmp/mitu-window-bandwidth-XXXXXX";
        folder = ::mkdtemp(pattern);
        fs::create_directory(server.root() / "incoming");
        ftptest::writeFile(server.root() / "test2.txt", ftptest::patternBytes(100000, 3));
    }
    void TearDown() override {
        form.reset();
        QApplication::processEvents();
        fs::remove_all(folder);
    }

    void open(int port) {
        Form1::Options options;
        options.mciSendString = [](const std::string&) -> std::uint32_t { return 0; };
        options.settings = checks::ServiceSettings::defaults();
        options.settings.ftpServer = "127.0.0.1";
        options.settings.ftpPort = static_cast<std::uint16_t>(port);
        options.settings.ftpUser = "anonymous";
        options.bandwidthFolder = folder.string();
        form = std::make_unique<Form1>(std::move(options));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        QApplication::processEvents();
    }

    // Answers the message box the click opens (if any) and returns its text.
    void answerMessageBoxes() {
        QTimer::singleShot(50, [this] { closeBox(); });
    }
    void closeBox() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                messages.push_back(box->text().toStdString());
                titles.push_back(box->windowTitle().toStdString());
                box->accept();
                return;
            }
        }
        QTimer::singleShot(50, [this] { closeBox(); });
    }

    ftptest::PyFtpServer server;
    fs::path folder;
    std::unique_ptr<Form1> form;
    std::vector<std::string> messages, titles;
};

} // namespace

TEST_F(BandwidthWindowTest, AClickDownloadsUploadsAndRatesBoth) {
    open(server.port());
    QTest::mouseClick(form->Command4, Qt::LeftButton);
    // The click runs the whole test; the window stays responsive meanwhile.
    EXPECT_TRUE(form->Command4->isEnabled());
    const QStringList lines = form->Text2->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 5) << form->Text2->toPlainText().toStdString();
    EXPECT_TRUE(lines[0].startsWith("Download Excellent: ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(" ms"));
    EXPECT_TRUE(lines[2].startsWith("Upload Excellent: ")) << lines[2].toStdString();
    // The count, then the upload's rate.
    EXPECT_TRUE(form->Text5->text().startsWith("100000 bytes transferred"));
    EXPECT_FALSE(form->Timer3->isActive());
    EXPECT_TRUE(ftptest::readFile(folder / "test2.txt") ==
                ftptest::readFile(server.root() / "incoming" / "test2up.txt"));
}

TEST_F(BandwidthWindowTest, AFailureShowsItsMessageBoxAndEnablesTheButton) {
    fs::remove(server.root() / "test2.txt");
    open(server.port());
    answerMessageBoxes();
    form->Command4_Click();
    ASSERT_EQ(messages, (std::vector<std::string>{
                            "unable to download file: error 16550: Requested action not taken."}));
    EXPECT_EQ(titles.front(), Form1::Title.toStdString());
    EXPECT_TRUE(form->Command4->isEnabled());
    EXPECT_TRUE(form->Text2->toPlainText().isEmpty());
}

TEST_F(BandwidthWindowTest, EachActivationBringsANewClient) {
    open(server.port());
    auto first = form->bandwidth().m_objFtpClient;
    ASSERT_TRUE(first);
    form->Form_Activate();
    EXPECT_NE(form->bandwidth().m_objFtpClient, first);
    form->Command4_Click();
    EXPECT_EQ(form->Text2->toPlainText().count('\n'), 4);
}
