#include "app/form1.h"
#include "platform/qt/loop_bridge.h"
#include "platform/qt/process_end.h"

#include <QApplication>
#include <QIcon>

namespace {

int run(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("mitu"));
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.mitu.Mitu"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/mitu/mitu.svg")));
    // One thread serves the window and the components' event loop.
    platform::qt::LoopBridge bridge;

    app::Form1 form;
    QObject::connect(&form, &app::Form1::closed, &application, &QApplication::quit);
    form.show();
    return application.exec();
}

} // namespace

int main(int argc, char** argv) {
    // The window, the bridge and the application are gone before the end.
    platform::qt::endProcess(run(argc, argv));
}
