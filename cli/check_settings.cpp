// mitu-check settings: the service settings in effect and where each
// value came from.

#include "checks/service_settings.h"
#include "cli/check_commands.h"
#include "platform/qt/settings_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <iomanip>
#include <iostream>

namespace check {

int runSettings(const Subcommand& command, const std::vector<std::string>& arguments) {
    checks::ServiceSettings settings =
        checks::ServiceSettings::load(platform::qt::readSettingsFile);
    Options options;
    options.address = settings.pingAddress;
    if (!parseOptions(arguments, command.options, options)) {
        std::cerr << "usage: mitu-check " << command.usage << '\n';
        return ExitUsage;
    }
    // The options the command line gives win, as they do for the checks.
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--json")
            continue;
        if (!option.starts_with("-")) {
            settings.set("ping_address", option, "command line");
            continue;
        }
        const std::string& value = arguments[++i];
        const char* key = option == "--address"    ? "ping_address"
                          : option == "--server"   ? "ftp_server"
                          : option == "--port"     ? "ftp_port"
                          : option == "--user"     ? "ftp_user"
                          : option == "--password" ? "ftp_password"
                                                   : nullptr;
        if (key)
            settings.set(key, value, option);
    }

    const std::pair<const char*, std::string> values[] = {
        {"ping_address", settings.pingAddress},
        {"ftp_server", settings.ftpServer},
        {"ftp_port", std::to_string(settings.ftpPort)},
        {"ftp_user", settings.ftpUser},
        {"ftp_password", settings.ftpPassword.empty() ? "(empty)" : "(set)"},
        {"stun_server", settings.stunServer},
    };
    for (const std::string& problem : settings.problems)
        std::cerr << "mitu-check: " << problem << '\n';
    std::error_code error;
    if (options.json) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, value] : values)
            out[key] = {{"value", value}, {"origin", settings.origins[key]}};
        out["files"] = nlohmann::json::array();
        for (const std::string& file : checks::ServiceSettings::files())
            out["files"].push_back(
                {{"path", file}, {"exists", std::filesystem::exists(file, error)}});
        out["problems"] = settings.problems;
        std::cout << out.dump(2) << '\n';
    } else {
        for (const std::string& file : checks::ServiceSettings::files())
            std::cout << "file          " << file
                      << (std::filesystem::exists(file, error) ? "" : " (none)") << '\n';
        for (const auto& [key, value] : values)
            std::cout << std::left << std::setw(14) << key << std::setw(34) << value << ' '
                      << settings.origins[key] << '\n';
    }
    return settings.problems.empty() ? ExitOk : ExitFailed;
}

} // namespace check
