#include "app/service_settings.h"

#include <charconv>
#include <cstdlib>

namespace app {

ServiceSettings ServiceSettings::defaults() {
    ServiceSettings s;
    // A documentation address and a reserved domain: the built-in service
    // is a placeholder that nothing on the Internet answers for.
    s.pingAddress = "192.0.2.45";
    s.ftpServer = "ftp.conference.example";
    s.ftpPort = 21;
    s.ftpUser = "anonymous@conference.example";
    s.ftpPassword = "anonymous@domain.example";
    return s;
}

ServiceSettings
ServiceSettings::fromEnvironment(const std::function<const char*(const char*)>& getenv) {
    auto lookup = [&](const char* name) -> const char* {
        return getenv ? getenv(name) : std::getenv(name);
    };
    ServiceSettings s = defaults();
    auto take = [&](const char* name, std::string& field) {
        const char* value = lookup(name);
        if (value && *value)
            field = value;
    };
    take("MITU_PING_ADDRESS", s.pingAddress);
    take("MITU_FTP_SERVER", s.ftpServer);
    take("MITU_FTP_USER", s.ftpUser);
    take("MITU_FTP_PASSWORD", s.ftpPassword);
    if (const char* port = lookup("MITU_FTP_PORT"); port && *port) {
        unsigned value = 0;
        const char* end = port + std::char_traits<char>::length(port);
        auto [last, ec] = std::from_chars(port, end, value);
        if (ec == std::errc() && last == end && value >= 1 && value <= 65535)
            s.ftpPort = static_cast<std::uint16_t>(value);
    }
    return s;
}

} // namespace app
