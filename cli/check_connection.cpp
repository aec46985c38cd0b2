#include "cli/check_commands.h"

#include "cli/check_json.h"
#include "net/socket_errors.h"
#include "ping/connection_test.h"
#include "ping/echo_target.h"

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

    std::string results, total, status;
    std::string echoNotPermitted; // why, when the system refuses echo requests

private:
    std::string m_address;
};

} // namespace

int checkConnection(const Options& options, const ConnectionTest::EchoProbe& probe,
                    ConnectionReport& report, bool text) {
    const ConnectionTest::EchoProbe send = probe ? probe : PingMod::SendEchoRequestToAnyAddress;
    std::vector<std::int32_t> sent; // every request's answer, in order
    auto recording = [&](const std::string& address, PingMod::EchoReply& reply) {
        const std::int32_t result = send(address, reply);
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
    if (sent.size() > static_cast<std::size_t>(options.count))
        sent.resize(options.count);

    report.address = options.address;
    report.listedMs.clear();
    if (connected) // five lines, from the first five requests
        for (std::size_t i = 0; i < 5 && i < sent.size(); ++i)
            report.listedMs.push_back(sent[i]);
    if (controls.total != ConnectionTest::FailedTotalText && !controls.total.empty())
        report.totalMs = std::stoi(controls.total);
    report.rating = controls.status;
    report.trips = summarize(sent);

    if (text) {
        if (resolved.named && resolved.lookupError == 0)
            std::cout << options.address << " is " << report.resolvedAddress << '\n';
        // One line per time: the box separates them with CR LF.
        std::string line;
        for (char c : controls.results) {
            if (c == '\n') {
                std::cout << line << '\n';
                line.clear();
            } else if (c != '\r') {
                line += c;
            }
        }
        if (!line.empty())
            std::cout << line << '\n';
        std::cout << "Total: " << controls.total << '\n';
        std::cout << "Status: " << controls.status << '\n';
        std::cout << describe(report.trips) << '\n';
    }
    if (!controls.echoNotPermitted.empty()) {
        std::cout << std::flush; // after the results on a terminal
        std::cerr << "mitu-check: " << controls.echoNotPermitted << '\n';
        return ExitEchoNotPermitted;
    }
    if (controls.status == ConnectionTest::NoConnectionText ||
        controls.status == ConnectionTest::TooPoorText)
        return ExitFailed;
    return ExitOk;
}

int runConnection(const std::vector<std::string>& arguments,
                  const ConnectionTest::EchoProbe& probe) {
    Options options = defaultOptions();
    if (!parseOptions(arguments, ConnectionOptions, options)) {
        std::cerr << "usage: mitu-check connection [ADDRESS] [--count N] [--json]\n";
        return ExitUsage;
    }
    Report report;
    report.connection.emplace();
    const int status = checkConnection(options, probe, *report.connection, !options.json);
    if (options.json)
        writeJson(std::cout, report, status == ExitOk);
    return status;
}

} // namespace check
