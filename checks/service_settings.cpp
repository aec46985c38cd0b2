// The service settings: built-in values, INI files, the MITU_* variables,
// and where each value came from.

#include "checks/service_settings.h"

#include "checks/voice_check.h"
#include "ping/echo_target.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace checks {

namespace {

constexpr const char* Section = "service";
constexpr const char* Keys[] = {"ping_address", "ftp_server",        "ftp_port",   "ftp_user",
                                "ftp_password", "ftp_password_file", "stun_server"};

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool knownKey(const std::string& key) {
    for (const char* known : Keys)
        if (key == known)
            return true;
    return false;
}

// The lines of a settings file as far as its problems need them: where
// each key of the service section is set, and the lines that the reader
// (QSettings) would pass over or misread: it reports no line numbers.
struct FileLines {
    std::map<std::string, int> keyLine; // the last line that sets the key
    std::vector<std::string> problems;  // "LINE: what is wrong"
};

FileLines scanLines(std::istream& in) {
    FileLines result;
    std::string line, section;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = trimmed(line);
        const std::string at = std::to_string(number) + ": ";
        if (text.empty() || text[0] == ';' || text[0] == '#')
            continue;
        if (text[0] == '[') {
            if (text.back() != ']') {
                result.problems.push_back(at + "a section name without its closing ]");
                section = "\n"; // matches no section
            } else {
                section = trimmed(text.substr(1, text.size() - 2));
            }
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            result.problems.push_back(at + "not a setting (KEY = VALUE): " + text);
            continue;
        }
        const std::string value = trimmed(text.substr(equals + 1));
        if (std::count(value.begin(), value.end(), '"') % 2 != 0)
            result.problems.push_back(at + "a quotation mark without its closing one");
        if (section != Section)
            continue;
        const std::string key = trimmed(text.substr(0, equals));
        if (!knownKey(key))
            result.problems.push_back(at + "unknown key \"" + key + "\" in [service]");
        else
            result.keyLine[key] = number;
    }
    return result;
}

// The first line of a password file, without its line end.
bool readPasswordFile(const std::filesystem::path& path, std::string& password, std::string& why) {
    std::ifstream in(path);
    if (!in) {
        why = "cannot read " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        why = path.string() + " holds no password on its first line";
        return false;
    }
    return true;
}

const char* lookUp(const ServiceSettings::Lookup& getenv, const char* name) {
    return getenv ? getenv(name) : std::getenv(name);
}

} // namespace

ServiceSettings ServiceSettings::defaults() {
    ServiceSettings s;
    // A documentation address and a reserved domain: the built-in service
    // is a placeholder that nothing on the Internet answers for.
    s.pingAddress = "192.0.2.45";
    s.ftpServer = "ftp.conference.example";
    s.ftpPort = 21;
    s.ftpUser = "anonymous@conference.example";
    s.ftpPassword = "anonymous@domain.example";
    s.stunServer = "stun.conference.example";
    for (const char* key : Keys)
        if (std::strcmp(key, "ftp_password_file") != 0)
            s.origins[key] = "built-in";
    return s;
}

std::vector<std::string> ServiceSettings::files(const Lookup& getenv) {
    namespace fs = std::filesystem;
    std::vector<std::string> result;
    // Only absolute folders count; the first of XDG_CONFIG_DIRS matters
    // most, so it is read last.
    std::string dirs = lookUp(getenv, "XDG_CONFIG_DIRS") ? lookUp(getenv, "XDG_CONFIG_DIRS") : "";
    if (dirs.empty())
        dirs = "/etc/xdg";
    std::vector<std::string> system;
    std::stringstream list(dirs);
    for (std::string dir; std::getline(list, dir, ':');)
        if (!dir.empty() && dir[0] == '/')
            system.push_back((fs::path(dir) / "mitu" / "mitu.conf").lexically_normal().string());
    result.assign(system.rbegin(), system.rend());
    const char* configHome = lookUp(getenv, "XDG_CONFIG_HOME");
    const char* home = lookUp(getenv, "HOME");
    if (configHome && configHome[0] == '/')
        result.push_back((fs::path(configHome) / "mitu" / "mitu.conf").lexically_normal().string());
    else if (home && home[0] == '/')
        result.push_back(
            (fs::path(home) / ".config" / "mitu" / "mitu.conf").lexically_normal().string());
    return result;
}

ServiceSettings ServiceSettings::load(const platform::SettingsFileReader& read,
                                      const Lookup& getenv) {
    ServiceSettings s = defaults();
    for (const std::string& path : files(getenv))
        s.readFile(path, read);
    s.readEnvironment(getenv);
    return s;
}

bool ServiceSettings::set(const std::string& key, const std::string& value,
                          const std::string& origin) {
    auto refuse = [&](const std::string& why) {
        problems.push_back(origin + ": " + key + ": " + why + "; ignored");
        return false;
    };
    if (value.empty())
        return refuse("no value");
    if (key == "ftp_port") {
        unsigned port = 0;
        auto [last, error] = std::from_chars(value.data(), value.data() + value.size(), port);
        if (error != std::errc() || last != value.data() + value.size() || port < 1 || port > 65535)
            return refuse("\"" + value + "\" is not a port number (1 to 65535)");
        ftpPort = static_cast<std::uint16_t>(port);
    } else if (key == "ping_address" || key == "ftp_server") {
        if (const std::string why = PingMod::ImpossibleTarget(value); !why.empty())
            return refuse(why);
        (key == "ping_address" ? pingAddress : ftpServer) = trimmed(value);
    } else if (key == "stun_server") {
        std::string host, why;
        std::uint16_t port = 0;
        if (!splitServer(trimmed(value), host, port, why))
            return refuse(why);
        stunServer = trimmed(value);
    } else if (key == "ftp_user") {
        ftpUser = value;
    } else if (key == "ftp_password") {
        ftpPassword = value;
    } else {
        return refuse("not a setting");
    }
    origins[key] = origin;
    return true;
}

void ServiceSettings::readFile(const std::string& path, const platform::SettingsFileReader& read) {
    namespace fs = std::filesystem;
    using Kind = platform::SettingsFileValue::Kind;
    std::error_code error;
    if (!fs::exists(path, error))
        return;
    std::ifstream in(path);
    if (!in) {
        problems.push_back(path + ": cannot be read: " + std::strerror(errno));
        return;
    }
    const FileLines lines = scanLines(in);
    for (const std::string& problem : lines.problems)
        problems.push_back(path + ":" + problem);

    const auto values =
        read(path, Section, std::vector<std::string>(std::begin(Keys), std::end(Keys)));
    for (const char* key : Keys) {
        const auto value = values.find(key);
        if (value == values.end())
            continue;
        auto line = lines.keyLine.find(key);
        const std::string origin =
            path + ":" + (line == lines.keyLine.end() ? "?" : std::to_string(line->second));
        if (value->second.kind == Kind::List) {
            problems.push_back(origin + ": " + key +
                               ": a value with a comma must be in double quotes; ignored");
            continue;
        }
        if (value->second.kind != Kind::Text) {
            problems.push_back(origin + ": " + key + ": not a plain text value; ignored");
            continue;
        }
        const std::string& text = value->second.text;
        if (std::strcmp(key, "ftp_password_file") == 0) {
            std::string password, why;
            if (text.empty()) {
                problems.push_back(origin + ": " + key + ": no value; ignored");
            } else if (!readPasswordFile(fs::path(path).parent_path() / text, password, why)) {
                problems.push_back(origin + ": " + key + ": " + why + "; ignored");
            } else {
                // Read after ftp_password: the file wins over a password
                // written out in the same settings file.
                ftpPassword = password;
                origins["ftp_password"] = origin + " (ftp_password_file)";
            }
            continue;
        }
        set(key, text, origin);
    }
}

void ServiceSettings::readEnvironment(const Lookup& getenv) {
    const std::pair<const char*, const char*> variables[] = {
        {"MITU_PING_ADDRESS", "ping_address"}, {"MITU_FTP_SERVER", "ftp_server"},
        {"MITU_FTP_PORT", "ftp_port"},         {"MITU_FTP_USER", "ftp_user"},
        {"MITU_FTP_PASSWORD", "ftp_password"}, {"MITU_STUN_SERVER", "stun_server"},
    };
    for (const auto& [variable, key] : variables) {
        const char* value = lookUp(getenv, variable);
        if (value && *value)
            set(key, value, variable);
    }
}

} // namespace checks
