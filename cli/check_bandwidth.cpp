#include "cli/check_commands.h"

#include "cli/check_json.h"
#include "cli/terminal_text.h"

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
    LoopClock(std::uint32_t milliseconds, std::function<void()> tick,
              std::function<void()> started = {})
        : m_milliseconds(milliseconds), m_tick(std::move(tick)), m_started(std::move(started)) {
        m_window = loop().createWindow("CLOCK", [](platform::WindowHandle, platform::MessageId,
                                                   std::intptr_t, std::intptr_t) {});
    }
    ~LoopClock() override { loop().destroyWindow(m_window); }
    void start() override {
        if (m_started)
            m_started();
        loop().setTimer(m_window, 1, m_milliseconds,
                        [this](platform::WindowHandle, platform::TimerId) { m_tick(); });
    }
    void stop() override { loop().killTimer(m_window, 1); }

private:
    static platform::EventLoop& loop() { return platform::EventLoop::instance(); }
    std::uint32_t m_milliseconds;
    std::function<void()> m_tick;
    std::function<void()> m_started;
    platform::WindowHandle m_window = 0;
};

// The window's boxes as text: verdicts to stdout at the end, progress to
// stderr as it comes (a few times a second, on one line on a terminal).
class TextControls : public BandwidthTest::Controls {
public:
    explicit TextControls(bool showProgress) : m_show(showProgress) {}
    std::string results() override { return m_results; }
    void setResults(const std::string& text) override {
        if (text.size() > m_results.size() && m_transferring) {
            // A verdict: the transfer it rates has ended.
            m_transferring = false;
            if (!m_lastByte)
                m_lastByte = std::chrono::steady_clock::now();
            transfers.push_back(
                {m_bytes, std::chrono::duration<double>(*m_lastByte - m_start).count()});
        }
        m_results = text;
    }
    // The test starts a transfer's clock as it starts the transfer.
    void transferStarted() {
        m_transferring = true;
        m_start = std::chrono::steady_clock::now();
        m_lastByte.reset();
        m_bytes = 0;
    }
    void setProgress(const std::string& text) override {
        m_progress = text;
        auto now = std::chrono::steady_clock::now();
        if (m_transferring && !text.empty()) {
            m_lastByte = now;
            std::sscanf(text.c_str(), "%llu", &m_bytes);
        }
        if (!m_show || text.empty() || now - m_lastProgress < std::chrono::milliseconds(250))
            return;
        m_lastProgress = now;
        showProgress();
    }
    void setButtonEnabled(bool) override {}
    void showMessage(const std::string& text) override { message = text; }

    // Shows the last count if the throttle held it back, and ends the line.
    void endProgress() {
        if (!m_show)
            return;
        if (!m_progress.empty() && m_progress != m_shown)
            showProgress();
        if (m_terminal && !m_shown.empty())
            std::cerr << '\n';
    }
    std::string message;
    // Each finished transfer: bytes, and seconds from its start to its last byte.
    std::vector<std::pair<std::uint64_t, double>> transfers;

private:
    void showProgress() {
        std::cerr << (m_terminal ? "\r" : "") << m_progress << (m_terminal ? "\033[K" : "\n")
                  << std::flush;
        m_shown = m_progress;
    }

    std::string m_results;
    std::string m_progress; // the latest count
    std::string m_shown;    // the count on screen
    bool m_show;
    bool m_terminal = ::isatty(STDERR_FILENO) == 1;
    std::chrono::steady_clock::time_point m_lastProgress{};
    bool m_transferring = false;
    std::chrono::steady_clock::time_point m_start{};
    std::optional<std::chrono::steady_clock::time_point> m_lastByte;
    unsigned long long m_bytes = 0;
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
    LoopClock timer3(
        100, [&test] { test->Timer3_Timer(); }, [&controls] { controls.transferStarted(); });
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
    for (std::size_t i = 0; i < verdicts.size() && i < controls.transfers.size(); ++i) {
        TransferReport transfer{verdicts[i], controls.transfers[i].first,
                                controls.transfers[i].second};
        (i == 0 ? report.download : report.upload) = transfer;
    }
    if (text) {
        for (const std::string& verdict : verdicts)
            std::cout << verdict << '\n';
        if (report.download)
            std::cout << throughput("Download", *report.download) << '\n';
        if (report.upload)
            std::cout << throughput("Upload", *report.upload) << '\n';
    }
    if (!controls.message.empty()) {
        // The window's message, and why the step failed where the client
        // knows: often the server's words, so through the terminal filter,
        // for the JSON report too.
        report.error = controls.message;
        if (!test->failureCause().empty())
            report.error += ": " + test->failureCause();
        report.error = cli::terminalText(report.error);
        std::cout << std::flush;
        std::cerr << "mitu-check: " << report.error << '\n';
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
