// The window on a real X server (the test services' Xvfb at 96 DPI): its
// client area in pixels, and screenshots for a person to look at.
#include "app/form1.h"
#include "needs_service.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qApp)
            MITU_NEEDS_SERVICE("no X display (DISPLAY is not set)");
        app::Form1::Options options;
        options.mciSendString = [](const std::string&) { return 0u; };
        options.settings = app::ServiceSettings::defaults();
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

} // namespace
