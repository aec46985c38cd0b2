#pragma once

#include "platform/settings_file.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace checks {

// Where the connection and bandwidth tests go. The built-in values name
// the conference service; a help desk replaces them in settings files, a
// user in his own file or through environment variables, each later
// source winning over the earlier ones:
//
//   1. the built-in values;
//   2. mitu/mitu.conf in each folder of $XDG_CONFIG_DIRS (default
//      /etc/xdg), the least important (last) folder first;
//   3. $XDG_CONFIG_HOME/mitu/mitu.conf (default ~/.config/mitu/mitu.conf);
//   4. MITU_PING_ADDRESS, MITU_FTP_SERVER, MITU_FTP_PORT, MITU_FTP_USER,
//      MITU_FTP_PASSWORD, MITU_STUN_SERVER;
//   5. a program's command-line options (`set`).
//
// The files are INI files in QSettings' format (read by the reader the
// program hands in: platform::qt::readSettingsFile), keys in section
// [service]: ping_address, ftp_server, ftp_port, ftp_user, ftp_password,
// ftp_password_file (a file whose first line is the password; relative to
// the settings file's folder), stun_server (HOST[:PORT], the voice
// check's STUN server; port 3478 unless given). A line, key or value that cannot be used is
// noted in `problems` with its file and line, and the value before it
// stays.
struct ServiceSettings {
    using Lookup = std::function<const char*(const char*)>;

    std::string pingAddress;
    std::string ftpServer;
    std::uint16_t ftpPort = 0;
    std::string ftpUser;
    std::string ftpPassword;
    std::string stunServer; // HOST[:PORT]

    // Where each value came from, by key (ping_address ... stun_server):
    // "built-in", "FILE:LINE", a variable's name or a command-line option.
    std::map<std::string, std::string> origins;
    // What could not be used, one line each, starting with where it was.
    std::vector<std::string> problems;

    // The built-in values alone.
    static ServiceSettings defaults();
    // Sources 1 to 4 above, the files read by `read`. `getenv` is the
    // lookup, replaceable in tests.
    static ServiceSettings load(const platform::SettingsFileReader& read,
                                const Lookup& getenv = nullptr);
    // The settings files that `load` reads, in the order it reads them
    // (whether they exist or not).
    static std::vector<std::string> files(const Lookup& getenv = nullptr);

    // Applies one settings file, read by `read`; a missing file changes
    // nothing.
    void readFile(const std::string& path, const platform::SettingsFileReader& read);
    // Applies the MITU_* variables that are set and not empty.
    void readEnvironment(const Lookup& getenv = nullptr);
    // Sets the value of `key` (as named in the files) from `origin`; false,
    // with a problem noted, when the value does not fit the key.
    bool set(const std::string& key, const std::string& value, const std::string& origin);
};

} // namespace checks
