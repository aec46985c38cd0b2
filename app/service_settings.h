#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace app {

// Where the connection and bandwidth tests go. The built-in values name the
// conference service; each can be replaced through an environment variable
// so that tests and the demo point at a local service instead:
//
//   MITU_PING_ADDRESS   address the connection test starts with
//   MITU_FTP_SERVER     FTP host name of the bandwidth test
//   MITU_FTP_PORT       its port (1 to 65535)
//   MITU_FTP_USER       login user name
//   MITU_FTP_PASSWORD   login password
struct ServiceSettings {
    std::string pingAddress;
    std::string ftpServer;
    std::uint16_t ftpPort = 0;
    std::string ftpUser;
    std::string ftpPassword;

    static ServiceSettings defaults();
    // The defaults with every variable that is set (and, for the port,
    // valid) put in their place. `getenv` is the lookup, replaceable in tests.
    static ServiceSettings
    fromEnvironment(const std::function<const char*(const char*)>& getenv = nullptr);
};

} // namespace app
