#include "cli/check_commands.h"

#include "checks/bandwidth_check.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <unistd.h>
#include <vector>

namespace check {

namespace {

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
    TextControls controls(text);
    const std::vector<std::string> verdicts = checks::measureBandwidth(settings, controls, report);
    controls.endProgress();
    if (text) {
        for (const std::string& verdict : verdicts)
            std::cout << verdict << '\n';
        if (report.download)
            std::cout << throughput("Download", *report.download) << '\n';
        if (report.upload)
            std::cout << throughput("Upload", *report.upload) << '\n';
    }
    if (report.error) {
        // The window's message, which names the cause.
        std::cout << std::flush;
        std::cerr << "mitu-check: " << controls.message << '\n';
        return ExitFailed;
    }
    return checks::bandwidthPassed(verdicts, report) ? ExitOk : ExitFailed;
}

} // namespace check
