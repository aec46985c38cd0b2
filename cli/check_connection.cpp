#include "cli/check_commands.h"

#include "checks/connection_check.h"

#include <iostream>

namespace check {

int checkConnection(const Options& options, const ConnectionTest::EchoProbe& probe,
                    ConnectionReport& report, bool text, const Stopwatch& clock) {
    const checks::ConnectionBoxes boxes = checks::measureConnection(
        options.address, options.count, probe, report, clock,
        [](const std::string& notice) { std::cerr << "mitu-check: " << notice << '\n'; });
    if (text) {
        if (boxes.named)
            std::cout << options.address << " is " << report.resolvedAddress << '\n';
        // One line per time: the box separates them with CR LF. A failed
        // request's line says why.
        std::string line;
        std::size_t index = 0;
        for (char c : boxes.results) {
            if (c == '\n') {
                if (index < report.listedMs.size() && report.listedMs[index] < 0)
                    line += std::string(" (") +
                            ConnectionTest::ReasonText(
                                ConnectionTest::ReasonOf(report.listedMs[index])) +
                            ")";
                std::cout << line << '\n';
                line.clear();
                ++index;
            } else if (c != '\r') {
                line += c;
            }
        }
        std::cout << "Total: " << boxes.total << '\n';
        std::cout << "Status: " << boxes.status;
        if (!boxes.failureReason.empty())
            std::cout << " (" << boxes.failureReason << ')';
        std::cout << '\n' << describe(report.trips) << '\n';
        if (!report.warning.empty())
            std::cout << "Warning: " << report.warning << '\n';
    }
    if (!boxes.echoNotPermitted.empty()) {
        std::cout << std::flush; // after the results on a terminal
        std::cerr << "mitu-check: " << boxes.echoNotPermitted << '\n';
        return ExitEchoNotPermitted;
    }
    return checks::connectionPassed(boxes, report) ? ExitOk : ExitFailed;
}

} // namespace check
