#include "cli/check_options.h"

#include "app/service_settings.h"
#include "ping/echo_target.h"
#include "platform/program.h"

#include <charconv>
#include <iostream>

namespace check {

namespace {

bool number(const std::string& text, int low, int high, int& value) {
    int parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

} // namespace

Options defaultOptions() {
    const app::ServiceSettings service = app::ServiceSettings::load();
    for (const std::string& problem : service.problems)
        std::cerr << "mitu-check: " << problem << '\n';
    Options options;
    options.address = service.pingAddress;
    options.server = service.ftpServer;
    options.port = service.ftpPort;
    options.user = service.ftpUser;
    options.password = service.ftpPassword;
    options.folder = platform::localFileFolder();
    return options;
}

bool parseOptions(const std::vector<std::string>& arguments, unsigned accepted, Options& options) {
    bool positional = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--json") {
            options.json = true;
            continue;
        }
        if (!option.starts_with("-")) {
            if (!(accepted & ConnectionOptions) || positional)
                return false;
            options.address = option;
            positional = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return false;
        const std::string& value = arguments[++i];
        const bool connection = accepted & ConnectionOptions;
        const bool bandwidth = accepted & BandwidthOptions;
        if (connection && option == "--address") {
            options.address = value;
        } else if (connection && option == "--count") {
            if (!number(value, 1, 100, options.count))
                return false;
        } else if (bandwidth && option == "--server") {
            options.server = value;
        } else if (bandwidth && option == "--port") {
            if (!number(value, 1, 65535, options.port))
                return false;
        } else if (bandwidth && option == "--user") {
            options.user = value;
        } else if (bandwidth && option == "--password") {
            options.password = value;
        } else if (bandwidth && option == "--folder") {
            options.folder = value;
        } else if ((accepted & MicrophoneOptions) && option == "--seconds") {
            if (!number(value, 1, 30, options.seconds))
                return false;
        } else {
            return false;
        }
    }
    // An address that can name nothing is refused before anything is sent.
    if (accepted & ConnectionOptions) {
        if (const std::string why = PingMod::ImpossibleTarget(options.address); !why.empty()) {
            std::cerr << "mitu-check: " << why << '\n';
            return false;
        }
    }
    return true;
}

} // namespace check
