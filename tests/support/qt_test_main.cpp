// main() for the test programs that need a QApplication: the Qt platform
// the build names (offscreen, or xcb for a real X server), and the bridge
// that joins the components' event loop to Qt's, as the program has them.
#include "platform/qt/loop_bridge.h"
#include "platform/qt/process_end.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <memory>

// Memory that system libraries under Qt keep until the process ends (their
// caches and connections). The program's own code is not suppressed.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libpulse.so\n"
           "leak:libpulsecommon\n"
           "leak:libflite\n"
           "leak:libxkbcommon\n";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS(); // listing needs no display
    qputenv("QT_QPA_PLATFORM", MITU_TEST_QPA);
    // The X11 tests skip without a display rather than abort in Qt's start-up.
    std::unique_ptr<QApplication> application;
    std::unique_ptr<platform::qt::LoopBridge> bridge;
    if (qgetenv("QT_QPA_PLATFORM") != "xcb" || !qEnvironmentVariableIsEmpty("DISPLAY")) {
        application = std::make_unique<QApplication>(argc, argv);
        bridge = std::make_unique<platform::qt::LoopBridge>();
    }
    const int result = RUN_ALL_TESTS();
    bridge.reset();
    application.reset();
    platform::qt::endProcess(result);
}
