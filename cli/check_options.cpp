#include "cli/check_options.h"

#include "checks/service_settings.h"
#include "checks/voice_check.h"
#include "cli/option_reader.h"
#include "ping/echo_target.h"
#include "platform/program.h"
#include "platform/qt/settings_file.h"

#include <iostream>

namespace check {

Options defaultOptions() {
    const checks::ServiceSettings service =
        checks::ServiceSettings::load(platform::qt::readSettingsFile);
    for (const std::string& problem : service.problems)
        std::cerr << "mitu-check: " << problem << '\n';
    Options options;
    options.address = service.pingAddress;
    options.server = service.ftpServer;
    options.port = service.ftpPort;
    options.user = service.ftpUser;
    options.password = service.ftpPassword;
    options.stunServer = service.stunServer;
    options.folder = platform::localFileFolder();
    return options;
}

bool parseOptions(const std::vector<std::string>& arguments, unsigned accepted, Options& options) {
    using cli::numberOption;
    using cli::textOption;
    std::vector<cli::Option> table{cli::flagOption("--json", [&] { options.json = true; })};
    if (accepted & ConnectionOptions) {
        table.push_back(
            textOption("--address", [&](const std::string& a) { options.address = a; }));
        table.push_back(numberOption("--count", 1, 100, [&](int count) { options.count = count; }));
    }
    if (accepted & BandwidthOptions) {
        table.push_back(textOption("--server", [&](const std::string& s) { options.server = s; }));
        table.push_back(numberOption("--port", 1, 65535, [&](int port) { options.port = port; }));
        table.push_back(textOption("--user", [&](const std::string& u) { options.user = u; }));
        table.push_back(
            textOption("--password", [&](const std::string& p) { options.password = p; }));
        table.push_back(textOption("--folder", [&](const std::string& f) { options.folder = f; }));
    }
    if (accepted & MicrophoneOptions)
        table.push_back(numberOption("--seconds", 1, 30, [&](int s) { options.seconds = s; }));
    if (accepted & VoiceOptions) {
        const char* server = (accepted & BandwidthOptions) ? "--stun-server" : "--server";
        table.push_back(textOption(server, [&](const std::string& s) { options.stunServer = s; }));
        if (!(accepted & ConnectionOptions))
            table.push_back(
                numberOption("--count", 1, 1000, [&](int count) { options.voiceCount = count; }));
        table.push_back(
            numberOption("--interval", 10, 1000, [&](int ms) { options.intervalMs = ms; }));
    }
    bool positional = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i].starts_with("-")) {
            if (cli::readOption(table, arguments, i))
                return false;
            continue;
        }
        // ADDRESS, once.
        if (!(accepted & ConnectionOptions) || positional)
            return false;
        options.address = arguments[i];
        positional = true;
    }
    // An address that can name nothing is refused before anything is sent.
    if (accepted & ConnectionOptions) {
        if (const std::string why = PingMod::ImpossibleTarget(options.address); !why.empty()) {
            std::cerr << "mitu-check: " << why << '\n';
            return false;
        }
    }
    if (accepted & VoiceOptions) {
        std::string host, why;
        std::uint16_t port = 0;
        if (!checks::splitServer(options.stunServer, host, port, why)) {
            std::cerr << "mitu-check: " << why << '\n';
            return false;
        }
    }
    return true;
}

} // namespace check
