#include "cli/check_commands.h"

#include "app/bandwidth_test.h"
#include "app/service_settings.h"
#include "platform/event_loop.h"
#include "platform/program.h"

#include <charconv>
#include <chrono>
#include <iostream>
#include <unistd.h>

namespace check {

namespace {

// A clock of the test on the program's event loop.
class LoopClock : public BandwidthTest::Clock {
public:
    LoopClock(std::uint32_t milliseconds, std::function<void()> tick)
        : m_milliseconds(milliseconds), m_tick(std::move(tick)) {
        m_window = loop().createWindow("CLOCK", [](platform::WindowHandle, platform::MessageId,
                                                   std::intptr_t, std::intptr_t) {});
    }
    ~LoopClock() override { loop().destroyWindow(m_window); }
    void start() override {
        loop().setTimer(m_window, 1, m_milliseconds,
                        [this](platform::WindowHandle, platform::TimerId) { m_tick(); });
    }
    void stop() override { loop().killTimer(m_window, 1); }

private:
    static platform::EventLoop& loop() { return platform::EventLoop::instance(); }
    std::uint32_t m_milliseconds;
    std::function<void()> m_tick;
    platform::WindowHandle m_window = 0;
};

// The window's boxes as text: verdicts to stdout at the end, progress to
// stderr as it comes (a few times a second, on one line on a terminal).
class TextControls : public BandwidthTest::Controls {
public:
    std::string results() override { return m_results; }
    void setResults(const std::string& text) override { m_results = text; }
    void setProgress(const std::string& text) override {
        m_progress = text;
        auto now = std::chrono::steady_clock::now();
        if (text.empty() || now - m_lastProgress < std::chrono::milliseconds(250))
            return;
        m_lastProgress = now;
        showProgress();
    }
    void setButtonEnabled(bool) override {}
    void showMessage(const std::string& text) override { message = text; }

    // Shows the last count if the throttle held it back, and ends the line.
    void endProgress() {
        if (!m_progress.empty() && m_progress != m_shown)
            showProgress();
        if (m_terminal && !m_shown.empty())
            std::cerr << '\n';
    }
    std::string message;

private:
    void showProgress() {
        std::cerr << (m_terminal ? "\r" : "") << m_progress << (m_terminal ? "\033[K" : "\n")
                  << std::flush;
        m_shown = m_progress;
    }

    std::string m_results;
    std::string m_progress; // the latest count
    std::string m_shown;    // the count on screen
    bool m_terminal = ::isatty(STDERR_FILENO) == 1;
    std::chrono::steady_clock::time_point m_lastProgress{};
};

int usage() {
    std::cerr << "usage: mitu-check bandwidth [--server HOST] [--port N] [--user NAME] "
                 "[--password TEXT] [--folder DIR]\n";
    return ExitUsage;
}

} // namespace

int runBandwidth(const std::vector<std::string>& arguments) {
    const app::ServiceSettings service = app::ServiceSettings::fromEnvironment();
    BandwidthTest::Settings settings;
    settings.ftpServer = service.ftpServer;
    settings.ftpPort = service.ftpPort;
    settings.ftpUser = service.ftpUser;
    settings.ftpPassword = service.ftpPassword;
    settings.folder = platform::localFileFolder();

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (i + 1 >= arguments.size())
            return usage();
        const std::string& value = arguments[++i];
        if (option == "--server") {
            settings.ftpServer = value;
        } else if (option == "--port") {
            int port = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (error != std::errc() || end != value.data() + value.size() || port < 1 ||
                port > 65535)
                return usage();
            settings.ftpPort = port;
        } else if (option == "--user") {
            settings.ftpUser = value;
        } else if (option == "--password") {
            settings.ftpPassword = value;
        } else if (option == "--folder") {
            settings.folder = value;
        } else {
            return usage();
        }
    }

    TextControls controls;
    std::shared_ptr<BandwidthTest::Test> test;
    LoopClock timer3(100, [&test] { test->Timer3_Timer(); });
    LoopClock timer4(1000, [&test] { test->Timer4_Timer(); });
    test = BandwidthTest::Test::create(controls, timer3, timer4, settings);
    timer4.start(); // as in the window, where it runs from start-up
    test->Activate();
    test->Command4_Click();
    controls.endProgress();

    // One verdict a line: the box separates them with an empty line.
    std::string text = controls.results();
    bool qualified = true;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start) {
            const std::string verdict = text.substr(start, end - start);
            std::cout << verdict << '\n';
            qualified = qualified && BandwidthTest::Qualifies(verdict);
        }
        start = end + 2;
    }
    if (!controls.message.empty()) {
        // The window's message, and why the step failed where the client knows.
        std::cerr << "mitu-check: " << controls.message;
        if (!test->failureCause().empty())
            std::cerr << ": " << test->failureCause();
        std::cerr << '\n';
        return ExitFailed;
    }
    return qualified ? ExitOk : ExitFailed;
}

} // namespace check
