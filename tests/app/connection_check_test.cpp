// The Test Connection button on Qt's offscreen platform: the boxes, the
// button and the focus through an injected probe, a real click against
// loopback, the probe's socket-library messages as modal boxes, and a
// system that gives the user no echo socket.
#include "app/form1.h"
#include "platform/icmp.h"
#include "platform/winsock.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using app::Form1;

class ConnectionCheckTest : public ::testing::Test {
protected:
    void open(ConnectionTest::EchoProbe probe) {
        if (!qApp)
            GTEST_SKIP() << "no Qt application";
        Form1::Options options;
        options.mciSendString = [](const std::string&) -> std::uint32_t { return 0; };
        options.settings = checks::ServiceSettings::defaults();
        options.echoProbe = std::move(probe);
        form = std::make_unique<Form1>(std::move(options));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        QApplication::processEvents();
    }
    void TearDown() override {
        form.reset();
        QApplication::processEvents();
    }

    // Answers with `script`, noting whether the button was off meanwhile.
    ConnectionTest::EchoProbe scripted(std::vector<std::int32_t> script) {
        return [this, script](const std::string& address, PingMod::EchoReply&) {
            addresses.push_back(address);
            buttonOffDuringRequests = buttonOffDuringRequests && !form->Command2->isEnabled();
            return script.at(addresses.size() - 1);
        };
    }

    std::unique_ptr<Form1> form;
    std::vector<std::string> addresses;
    bool buttonOffDuringRequests = true;
};

} // namespace

TEST_F(ConnectionCheckTest, ListsRatesAndFocusesTheRating) {
    open(scripted({99, 99, 99, 99, 99, 12}));
    form->Text6->setText(QStringLiteral("192.0.2.7"));
    form->Text4->setPlainText(QStringLiteral("old"));
    // The access key presses the button as a click would, a moment later.
    QTest::keyClick(form->windowHandle(), Qt::Key_C, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return addresses.size() == 6; }, 3000));

    EXPECT_EQ(form->Text1->toPlainText(), "99 ms\n99 ms\n99 ms\n99 ms\n99 ms\n");
    EXPECT_EQ(form->Text3->text(), "495 ms");
    EXPECT_EQ(form->Text4->toPlainText(), "Excellent");
    EXPECT_EQ(addresses, std::vector<std::string>(6, "192.0.2.7"));
    EXPECT_TRUE(buttonOffDuringRequests);
    EXPECT_TRUE(form->Command2->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), form->Text4);
}

TEST_F(ConnectionCheckTest, FailedFirstRequestShowsNoConnection) {
    open(scripted({-11010}));
    form->Text1->setPlainText(QStringLiteral("1 ms\n"));
    QWidget* focusBefore = QApplication::focusWidget();
    form->Command2_Click();
    EXPECT_EQ(form->Text1->toPlainText(), "");
    EXPECT_EQ(form->Text3->text(), ">10000 ms");
    // The rating, and below it why.
    EXPECT_EQ(form->Text4->toPlainText(), "No Internet Connection\n(no answer within 10 s)");
    EXPECT_TRUE(form->Command2->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), focusBefore);
}

TEST_F(ConnectionCheckTest, RealEchoesToLoopback) {
    open({});
    // IPv4, IPv6 and a name, as mitu-check connection takes them.
    for (const char* address : {"127.0.0.1", "::1", "[::1]", "localhost"}) {
        form->Text6->setText(QString::fromLatin1(address));
        form->Command2->click();
        EXPECT_EQ(form->Text1->toPlainText().count(QStringLiteral(" ms\n")), 5) << address;
        EXPECT_TRUE(form->Text3->text().endsWith(QStringLiteral(" ms"))) << address;
        EXPECT_EQ(form->Text4->toPlainText(), "Excellent") << address;
    }
}

TEST_F(ConnectionCheckTest, SocketLibraryProblemsAreModalBoxes) {
    open({});
    form->Text6->setText(QStringLiteral("127.0.0.1"));
    struct Box {
        QString title, text;
        QMessageBox::Icon icon;
    };
    std::vector<Box> boxes;
    // Closes each box as it appears, noting what it said.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back({box->windowTitle(), box->text(), box->icon()});
            box->accept();
        }
    });
    closer.start(10);
    // The start-up count is the process's: release the window's FTP client,
    // whose sockets hold one, so that the probe's clean-ups have only their own.
    form->bandwidth().m_objFtpClient.reset();
    ASSERT_EQ(platform::winsock::startupCount(), 0);
    platform::winsock::setStartupFailure(platform::winsock::WSASYSNOTREADY);
    form->Command2_Click();
    platform::winsock::setStartupFailure(0);
    closer.stop();

    // Each of the six requests shows the start-up and the clean-up box,
    // and still goes out.
    ASSERT_EQ(boxes.size(), 12u);
    EXPECT_EQ(boxes[0].title, "Microphone and Internet Test Utility");
    EXPECT_EQ(boxes[0].text,
              "Windows Sockets for 32 bit Windows environments is not successfully responding.");
    EXPECT_EQ(boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(boxes[1].text, "Windows Sockets error -1 occurred in Cleanup.");
    EXPECT_EQ(boxes[1].icon, QMessageBox::Warning);
    EXPECT_EQ(form->Text4->toPlainText(), "Excellent");
}

TEST_F(ConnectionCheckTest, WithoutAnEchoSocketTheWindowSaysWhyInABox) {
    // A user whose groups the system does not admit to ICMP datagram
    // sockets, and who may not open raw ones: no socket at all. The window
    // rates the connection as missing and says why in one box.
    if (!qApp)
        GTEST_SKIP() << "no Qt application";
    unsigned first = 1, last = 0;
    if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ping_group_range", "r")) {
        if (std::fscanf(range, "%u %u", &first, &last) != 2)
            first = 1, last = 0;
        std::fclose(range);
    }
    if (first <= ::getgid() && ::getgid() <= last)
        GTEST_SKIP() << "this system admits our group to ICMP datagram sockets";
    open({});
    form->Text6->setText(QStringLiteral("127.0.0.1"));
    std::vector<std::pair<QString, QString>> boxes; // title, text
    QString textsWhenShown;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.emplace_back(box->windowTitle(), box->text());
            textsWhenShown = form->Text3->text() + "|" + form->Text4->toPlainText();
            box->accept();
        }
    });
    closer.start(10);
    platform::icmp::setSocketKind(platform::icmp::SocketKind::Datagram);
    form->Command2_Click();
    platform::icmp::setSocketKind(platform::icmp::SocketKind::Automatic);
    closer.stop();

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, Form1::Title);
    EXPECT_EQ(boxes[0].second, ConnectionTest::EchoNotPermittedText);
    EXPECT_EQ(textsWhenShown, ">10000 ms|No Internet Connection\n(echo requests not permitted)");
    EXPECT_EQ(form->Text1->toPlainText(), "");
    EXPECT_TRUE(form->Command2->isEnabled());
}
