// main() for the test programs that need a QApplication: the offscreen
// platform unless QT_QPA_PLATFORM names another, and the bridge that joins
// the components' event loop to Qt's, as the program has them.
#include "platform/qt/loop_bridge.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <memory>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS(); // listing needs no display
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The X11 tests skip without a display rather than abort in Qt's start-up.
    std::unique_ptr<QApplication> application;
    std::unique_ptr<platform::qt::LoopBridge> bridge;
    if (qgetenv("QT_QPA_PLATFORM") != "xcb" || !qEnvironmentVariableIsEmpty("DISPLAY")) {
        application = std::make_unique<QApplication>(argc, argv);
        bridge = std::make_unique<platform::qt::LoopBridge>();
    }
    const int result = RUN_ALL_TESTS();
    bridge.reset();
    return result;
}
