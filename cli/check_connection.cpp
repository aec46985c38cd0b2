#include "cli/check_commands.h"

#include "app/service_settings.h"
#include "ping/connection_test.h"

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

int runConnection(const std::vector<std::string>& arguments,
                  const ConnectionTest::EchoProbe& probe) {
    if (arguments.size() > 1 || (arguments.size() == 1 && arguments[0].starts_with("-"))) {
        std::cerr << "usage: mitu-check connection [ADDRESS]\n";
        return ExitUsage;
    }
    PingMod::setMessageBoxSink([](const std::string& text, PingMod::MessageBoxIcon) {
        std::cerr << "mitu-check: " << text << '\n';
    });
    TextControls controls(arguments.empty() ? app::ServiceSettings::fromEnvironment().pingAddress
                                            : arguments[0]);
    ConnectionTest::Run(controls, probe);

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
    PingMod::setMessageBoxSink({});
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

} // namespace check
