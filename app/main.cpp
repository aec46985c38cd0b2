#include "app/form1.h"
#include "platform/qt/loop_bridge.h"
#include "platform/qt/process_end.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <cstring>
#include <iostream>

namespace {

void printHelp() {
    std::cout << "usage: mitu [--help | --version] [Qt's options, such as -platform NAME]\n"
                 "\n"
                 "Opens the Microphone and Internet Test Utility: microphone, speakers,\n"
                 "connection and bandwidth checks before a voice conference.\n"
                 "\n"
                 "The service it tests comes from the settings files\n"
                 "$XDG_CONFIG_DIRS/mitu/mitu.conf (default /etc/xdg/mitu/mitu.conf) and\n"
                 "$XDG_CONFIG_HOME/mitu/mitu.conf (default ~/.config/mitu/mitu.conf), then\n"
                 "the variables MITU_PING_ADDRESS, MITU_FTP_SERVER, MITU_FTP_PORT,\n"
                 "MITU_FTP_USER and MITU_FTP_PASSWORD; `mitu-check settings` shows what is\n"
                 "in effect. See mitu(1).\n"
                 "\n"
                 "  --help      show this text\n"
                 "  --version   show the program's version\n";
}

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
    // What the settings files or variables hold that could not be used:
    // on standard error, and in a box over the window once it shows.
    const std::vector<std::string>& problems = form.settings().problems;
    if (!problems.empty()) {
        QString text = QStringLiteral("Some service settings could not be used:\n");
        for (const std::string& problem : problems) {
            std::cerr << "mitu: " << problem << '\n';
            text += QStringLiteral("\n") + QString::fromStdString(problem);
        }
        QTimer::singleShot(0, &form,
                           [&form, text] { QMessageBox::warning(&form, app::Form1::Title, text); });
    }
    return application.exec();
}

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that neither needs a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "mitu " << MITU_VERSION << '\n';
            return 0;
        }
    }
    // The window, the bridge and the application are gone before the end.
    platform::qt::endProcess(run(argc, argv));
}
