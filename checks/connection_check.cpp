#include "checks/connection_check.h"

#include "net/socket_errors.h"
#include "ping/echo_target.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace checks {

namespace {

// The window's boxes as plain strings.
class TextControls : public ConnectionTest::Controls {
public:
    explicit TextControls(std::string address) : m_address(std::move(address)) {}
    std::string address() override { return m_address; }
    void setResults(const std::string& text) override { boxes.results = text; }
    void setTotal(const std::string& text) override { boxes.total = text; }
    void setStatus(const std::string& text) override { boxes.status = text; }
    void setButtonEnabled(bool) override {}
    void showEchoNotPermitted(const std::string& text) override { boxes.echoNotPermitted = text; }
    void showFailureReason(const std::string& text) override { boxes.failureReason = text; }

    ConnectionBoxes boxes;

private:
    std::string m_address;
};

} // namespace

ConnectionBoxes measureConnection(const std::string& address, int count,
                                  const ConnectionTest::EchoProbe& probe, ConnectionReport& report,
                                  const Stopwatch& clock,
                                  const std::function<void(const std::string&)>& notice) {
    const ConnectionTest::EchoProbe send = probe ? probe : PingMod::SendEchoRequestToAnyAddress;
    const Stopwatch now = clock ? clock : [] {
        return std::chrono::duration<double, std::milli>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    std::vector<std::int32_t> sent; // every request's answer, in order
    std::vector<double> measured;   // and its time on the clock, in ms
    auto recording = [&](const std::string& target, PingMod::EchoReply& reply) {
        const double start = now();
        const std::int32_t result = send(target, reply);
        measured.push_back(now() - start);
        sent.push_back(result);
        return result;
    };
    PingMod::setMessageBoxSink(
        [&notice](const std::string& message, PingMod::MessageBoxIcon) { notice(message); });
    // A name is looked up once; every request goes to the address found.
    std::string target = address;
    const PingMod::EchoTarget resolved = PingMod::ResolveEchoTarget(address);
    report.resolvedAddress.clear();
    if (resolved.lookupError != 0)
        notice(address + ": " + GetErrorDescription(resolved.lookupError));
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
    while (connected && sent.size() < static_cast<std::size_t>(count))
        recording(target, reply);
    PingMod::setMessageBoxSink({});
    const std::vector<std::int32_t> listed(sent.begin(),
                                           sent.begin() + std::min<std::size_t>(sent.size(), 5));
    if (sent.size() > static_cast<std::size_t>(count))
        sent.resize(count);

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

    ConnectionBoxes& boxes = controls.boxes;
    boxes.named = resolved.named && resolved.lookupError == 0;
    report.address = address;
    report.listedMs.clear();
    if (connected) // five lines, from the first five requests
        report.listedMs = listed;
    if (boxes.total != ConnectionTest::FailedTotalText && !boxes.total.empty())
        report.totalMs = std::stoi(boxes.total);
    report.rating = boxes.status;
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
    return boxes;
}

bool connectionPassed(const ConnectionBoxes& boxes, const ConnectionReport& report) {
    return boxes.status != ConnectionTest::NoConnectionText &&
           boxes.status != ConnectionTest::TooPoorText && report.warning.empty();
}

} // namespace checks
