#include "cli/check_commands.h"

#include "cli/check_json.h"
#include "platform/terminal_text.h"

#include "app/bandwidth_test.h"
#include "app/service_settings.h"
#include "platform/event_loop.h"
#include "platform/program.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <unistd.h>
#include <vector>

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

// The window's boxes as text: verdicts to stdout at the end, progress and
// waiting states to stderr as they come (a few times a second, on one line
// on a terminal).
class TextControls : public BandwidthTest::Controls {
public:
    explicit TextControls(bool showProgress) : m_show(showProgress) {}
    std::string results() override { return m_results; }
    void setResults(const std::string& text) override { m_results = text; }
    void setProgress(const std::string& text) override {
        // A new kind of line (a waiting state after a count) is shown at once.
        const bool count = text.find(" bytes transferred") != std::string::npos;
        const bool sameKind = count && m_progress.find(" bytes transferred") != std::string::npos;
        m_progress = text;
        auto now = std::chrono::steady_clock::now();
        if (!m_show || text.empty() ||
            (sameKind && now - m_lastProgress < std::chrono::milliseconds(250)))
            return;
        m_lastProgress = now;
        showProgress();
    }
    void setButtonEnabled(bool) override {}
    void showMessage(const std::string& text) override { message = text; }

    // Shows the last line if the throttle held it back, and ends the line.
    void endProgress() {
        if (!m_show)
            return;
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
    std::string m_progress; // the latest line
    std::string m_shown;    // the line on screen
    bool m_show;
    bool m_terminal = ::isatty(STDERR_FILENO) == 1;
    std::chrono::steady_clock::time_point m_lastProgress{};
};

std::string throughput(const char* direction, const TransferReport& transfer) {
    char text[160];
    if (transfer.seconds > 0)
        std::snprintf(text, sizeof text, "%s: %.2f Mbit/s (%llu bytes in %.3f s)", direction,
                      transfer.bytes * 8 / transfer.seconds / 1e6,
                      static_cast<unsigned long long>(transfer.bytes), transfer.seconds);
    else
        std::snprintf(text, sizeof text, "%s: unmeasured (%llu bytes)", direction,
                      static_cast<unsigned long long>(transfer.bytes));
    return text;
}

} // namespace

int checkBandwidth(const Options& options, BandwidthReport& report, bool text) {
    BandwidthTest::Settings settings;
    settings.ftpServer = options.server;
    settings.ftpPort = options.port;
    settings.ftpUser = options.user;
    settings.ftpPassword = options.password;
    settings.folder = options.folder;
    report.server = options.server;

    TextControls controls(text);
    std::shared_ptr<BandwidthTest::Test> test;
    LoopClock timer3(100, [&test] { test->Timer3_Timer(); });
    LoopClock timer4(1000, [&test] { test->Timer4_Timer(); });
    test = BandwidthTest::Test::create(controls, timer3, timer4, settings);
    timer4.start(); // as in the window, where it runs from start-up
    test->Activate();
    test->Command4_Click();
    controls.endProgress();

    // One verdict a line: the box separates them with an empty line.
    std::string results = controls.results();
    std::vector<std::string> verdicts;
    bool qualified = true;
    for (std::size_t start = 0; start < results.size();) {
        std::size_t end = results.find("\r\n", start);
        if (end == std::string::npos)
            end = results.size();
        if (end > start) {
            verdicts.push_back(results.substr(start, end - start));
            qualified = qualified && BandwidthTest::Qualifies(verdicts.back());
        }
        start = end + 2;
    }
    // A verdict for each finished transfer, and only for those.
    const std::optional<BandwidthTest::Throughput>* figures[] = {&test->downloaded(),
                                                                 &test->uploaded()};
    for (std::size_t i = 0; i < verdicts.size() && i < 2; ++i)
        if (const auto& moved = *figures[i])
            (i == 0 ? report.download : report.upload) =
                TransferReport{verdicts[i], moved->bytes, moved->seconds};
    if (text) {
        for (const std::string& verdict : verdicts)
            std::cout << verdict << '\n';
        if (report.download)
            std::cout << throughput("Download", *report.download) << '\n';
        if (report.upload)
            std::cout << throughput("Upload", *report.upload) << '\n';
    }
    if (const auto& failure = test->failure()) {
        // The window's message, which names the cause.
        report.error = StepError{failure->step, failure->number,
                                 BandwidthTest::FailureCause(std::nullopt, failure->description)};
        std::cout << std::flush;
        std::cerr << "mitu-check: " << controls.message << '\n';
        return ExitFailed;
    }
    return qualified ? ExitOk : ExitFailed;
}

int runBandwidth(const std::vector<std::string>& arguments) {
    Options options = defaultOptions();
    if (!parseOptions(arguments, BandwidthOptions, options)) {
        std::cerr << "usage: mitu-check bandwidth [--server HOST] [--port N] [--user NAME] "
                     "[--password TEXT] [--folder DIR] [--json]\n";
        return ExitUsage;
    }
    Report report;
    report.bandwidth.emplace();
    const int status = checkBandwidth(options, *report.bandwidth, !options.json);
    if (options.json)
        writeJson(std::cout, report, status == ExitOk);
    return status;
}

} // namespace check
