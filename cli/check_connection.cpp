#include "cli/check_commands.h"

#include "cli/check_json.h"
#include "net/socket_errors.h"
#include "ping/connection_test.h"
#include "ping/echo_target.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace check {

namespace {

// The window's boxes as plain strings.
class TextControls : public ConnectionTest::Controls {
public:
    explicit TextControls(std::string address) : m_address(std::move(address)) {}
    std::string address() override { return m_address; }
    void setResults(const std::string& text) override { results = text; }
    void setTotal(const std::string& text) override { total = text; }
    void setStatus(const std::string& text) override { status = text; }
    void setButtonEnabled(bool) override {}
    void showEchoNotPermitted(const std::string& text) override { echoNotPermitted = text; }
    void showFailureReason(const std::string& text) override { failureReason = text; }

    std::string results, total, status;
    std::string echoNotPermitted; // why, when the system refuses echo requests
    std::string failureReason;    // why the first request failed

private:
    std::string m_address;
};

} // namespace

int checkConnection(const Options& options, const ConnectionTest::EchoProbe& probe,
                    ConnectionReport& report, bool text, const Stopwatch& clock) {
    const ConnectionTest::EchoProbe send = probe ? probe : PingMod::SendEchoRequestToAnyAddress;
    const Stopwatch now = clock ? clock : [] {
        return std::chrono::duration<double, std::milli>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    std::vector<std::int32_t> sent; // every request's answer, in order
    std::vector<double> measured;   // and its time on the clock, in ms
    auto recording = [&](const std::string& address, PingMod::EchoReply& reply) {
        const double start = now();
        const std::int32_t result = send(address, reply);
        measured.push_back(now() - start);
        sent.push_back(result);
        return result;
    };
    PingMod::setMessageBoxSink([](const std::string& message, PingMod::MessageBoxIcon) {
        std::cerr << "mitu-check: " << message << '\n';
    });
    // A name is looked up once; every request goes to the address found.
    std::string target = options.address;
    const PingMod::EchoTarget resolved = PingMod::ResolveEchoTarget(options.address);
    report.resolvedAddress.clear();
    if (resolved.lookupError != 0)
        std::cerr << "mitu-check: " << options.address << ": "
                  << GetErrorDescription(resolved.lookupError) << '\n';
    else
        report.resolvedAddress = platform::winsock::addressToText(resolved.address);
    if (resolved.named && resolved.lookupError == 0)
        target = report.resolvedAddress;
    TextControls controls(target);
    ConnectionTest::Run(controls, recording);

    // The window's requests, then more until the count is reached. After
    // a first request that failed the window sends no more, nor do we.
    const bool connected = !sent.empty() && sent.front() >= 0;
    PingMod::EchoReply reply{};
    while (connected && sent.size() < static_cast<std::size_t>(options.count))
        recording(target, reply);
    PingMod::setMessageBoxSink({});
    const std::vector<std::int32_t> listed(sent.begin(),
                                           sent.begin() + std::min<std::size_t>(sent.size(), 5));
    if (sent.size() > static_cast<std::size_t>(options.count))
        sent.resize(options.count);

    using ConnectionTest::ReasonName;
    using ConnectionTest::ReasonOf;
    report.requests.clear();
    report.reason.clear();
    std::vector<std::optional<double>> trips;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EchoRequestReport request;
        if (sent[i] >= 0)
            request.ms = measured[i];
        else
            request.reason = ReasonName(ReasonOf(sent[i]));
        if (report.reason.empty())
            report.reason = request.reason;
        trips.push_back(request.ms);
        report.requests.push_back(request);
    }

    report.address = options.address;
    report.listedMs.clear();
    if (connected) // five lines, from the first five requests
        report.listedMs = listed;
    if (controls.total != ConnectionTest::FailedTotalText && !controls.total.empty())
        report.totalMs = std::stoi(controls.total);
    report.rating = controls.status;
    report.trips = summarize(trips);
    // Losses anywhere among the counted requests fail the check, not only
    // those among the five the rating adds up.
    report.warning.clear();
    if (connected && report.trips.lossPercent > MaxLossPercent) {
        char warning[64];
        std::snprintf(warning, sizeof warning, "%.4g %% of echo requests lost",
                      report.trips.lossPercent);
        report.warning = warning;
    }

    if (text) {
        if (resolved.named && resolved.lookupError == 0)
            std::cout << options.address << " is " << report.resolvedAddress << '\n';
        // One line per time: the box separates them with CR LF. A failed
        // request's line says why.
        std::string line;
        std::size_t index = 0;
        for (char c : controls.results) {
            if (c == '\n') {
                if (index < listed.size() && listed[index] < 0)
                    line += std::string(" (") +
                            ConnectionTest::ReasonText(ReasonOf(listed[index])) + ")";
                std::cout << line << '\n';
                line.clear();
                ++index;
            } else if (c != '\r') {
                line += c;
            }
        }
        std::cout << "Total: " << controls.total << '\n';
        std::cout << "Status: " << controls.status;
        if (!controls.failureReason.empty())
            std::cout << " (" << controls.failureReason << ')';
        std::cout << '\n' << describe(report.trips) << '\n';
        if (!report.warning.empty())
            std::cout << "Warning: " << report.warning << '\n';
    }
    if (!controls.echoNotPermitted.empty()) {
        std::cout << std::flush; // after the results on a terminal
        std::cerr << "mitu-check: " << controls.echoNotPermitted << '\n';
        return ExitEchoNotPermitted;
    }
    if (controls.status == ConnectionTest::NoConnectionText ||
        controls.status == ConnectionTest::TooPoorText || !report.warning.empty())
        return ExitFailed;
    return ExitOk;
}

int runConnection(const std::vector<std::string>& arguments, const ConnectionTest::EchoProbe& probe,
                  const Stopwatch& clock) {
    Options options = defaultOptions();
    if (!parseOptions(arguments, ConnectionOptions, options)) {
        std::cerr << "usage: mitu-check connection [ADDRESS] [--count N] [--json]\n";
        return ExitUsage;
    }
    Report report;
    report.connection.emplace();
    const int status = checkConnection(options, probe, *report.connection, !options.json, clock);
    if (options.json)
        writeJson(std::cout, report, status == ExitOk);
    return status;
}

} // namespace check
