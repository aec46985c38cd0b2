// mitu-ftp's login sources in their order, the netrc reader, and the
// password prompt without echo.
#include "cli/ftp_password.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace mituftp {

namespace {

struct NetrcEntry {
    std::string machine; // empty for `default`
    std::optional<std::string> login;
    std::optional<std::string> password;
};

// The tokens of a netrc text: words between blanks, tabs and line ends;
// a word in double quotes may hold blanks, with a backslash taking the next
// character as it is. `macdef` bodies (up to an empty line) and lines
// starting with "#" are skipped.
class NetrcReader {
public:
    explicit NetrcReader(std::string_view text) : m_text(text) {}

    std::vector<NetrcEntry> entries() {
        std::vector<NetrcEntry> result;
        while (auto word = next(true)) {
            std::optional<std::string>* field = nullptr;
            if (*word == "machine") {
                result.push_back({next(false).value_or(std::string()), {}, {}});
                if (result.back().machine.empty())
                    result.pop_back();
            } else if (*word == "default") {
                result.push_back({});
            } else if (*word == "login" && !result.empty()) {
                field = &result.back().login;
            } else if (*word == "password" && !result.empty()) {
                field = &result.back().password;
                m_holdsPassword = true;
            } else if (*word == "account" || *word == "port") {
                next(false);
            } else if (*word == "macdef") {
                skipMacro();
            }
            if (field)
                *field = next(false);
        }
        return result;
    }
    bool holdsPassword() const { return m_holdsPassword; }

private:
    static bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

    // The next word; at a keyword's place a "#" starts a comment line.
    std::optional<std::string> next(bool keyword) {
        for (;;) {
            while (m_at < m_text.size() && blank(m_text[m_at]))
                ++m_at;
            if (m_at >= m_text.size())
                return std::nullopt;
            if (!keyword || m_text[m_at] != '#')
                break;
            const std::size_t end = m_text.find('\n', m_at);
            m_at = end == std::string_view::npos ? m_text.size() : end;
        }
        std::string word;
        if (m_text[m_at] == '"') {
            for (++m_at; m_at < m_text.size() && m_text[m_at] != '"'; ++m_at) {
                if (m_text[m_at] == '\\' && m_at + 1 < m_text.size())
                    ++m_at;
                word += m_text[m_at];
            }
            ++m_at; // the closing quote
            return word;
        }
        while (m_at < m_text.size() && !blank(m_text[m_at]))
            word += m_text[m_at++];
        return word;
    }

    // A macro's name ends its line; its body ends at the first empty line.
    void skipMacro() {
        const std::size_t end = m_text.find("\n\n", m_at);
        m_at = end == std::string_view::npos ? m_text.size() : end + 2;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    bool m_holdsPassword = false;
};

bool sameHost(std::string_view a, std::string_view b) {
    const auto bare = [](std::string_view host) {
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        return host;
    };
    a = bare(a);
    b = bare(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

// The entry of ~/.netrc for `host` and `user` (any login when empty): the
// first `machine` entry for both, else the `default` entry. A file that
// holds a password must be the user's alone.
std::optional<NetrcEntry> netrcEntry(const std::string& host, const std::string& user) {
    const std::string home = homeFolder();
    if (home.empty())
        return std::nullopt;
    const std::string path = home + "/.netrc";
    std::ifstream in(path, std::ios::binary);
    struct stat status {};
    if (!in || ::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    const std::string contents = text.str();
    NetrcReader reader(contents);
    const std::vector<NetrcEntry> entries = reader.entries();
    if (reader.holdsPassword() && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw LoginError{path +
                         " holds a password but its group or others have access to it (mode " +
                         mode + "); make it yours alone with: chmod 600 " + path};
    }
    const auto fits = [&](const NetrcEntry& entry) {
        return user.empty() || !entry.login || *entry.login == user;
    };
    for (const NetrcEntry& entry : entries)
        if (!entry.machine.empty() && sameHost(entry.machine, host) && fits(entry))
            return entry;
    for (const NetrcEntry& entry : entries)
        if (entry.machine.empty() && fits(entry))
            return entry;
    return std::nullopt;
}

// The terminal's settings while echo is off, for a signal to put back.
termios g_saved{};

extern "C" void restoreEcho(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Asks on the terminal; the answer is not echoed, and echo comes back also
// when the user breaks off with a signal.
std::optional<std::string> prompt(const Options& options) {
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &g_saved) != 0)
        return std::nullopt;
    termios quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    void (*previous[4])(int) = {};
    for (int i = 0; i < 4; ++i)
        previous[i] = std::signal(signals[i], restoreEcho);
    // Echo goes off before the prompt shows: nothing typed after it is seen.
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::cerr << "Password for " << options.user << '@' << options.host << ": " << std::flush;
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    for (int i = 0; i < 4; ++i)
        std::signal(signals[i], previous[i]);
    std::cerr << '\n';
    if (!read)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

void completeLogin(Options& options) {
    std::optional<std::string> password;
    if (options.passwordOnCommandLine) {
        password = options.password;
        if (::isatty(STDERR_FILENO) == 1)
            std::cerr << Program
                      << ": warning: --password shows the password to other users (ps) and "
                         "keeps it in the shell's history; use --password-file, "
                      << PasswordVariable << " or ~/.netrc\n";
    } else if (!options.passwordFile.empty()) {
        std::ifstream in(options.passwordFile, std::ios::binary);
        std::string line;
        if (!in)
            throw UsageError{"--password-file " + options.passwordFile + ": " +
                             std::strerror(errno)};
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        password = line;
    } else if (const char* value = std::getenv(PasswordVariable); value && *value) {
        password = value;
    }
    if (!password || options.user.empty()) {
        if (const auto entry = netrcEntry(options.host, options.user)) {
            if (options.user.empty() && entry->login)
                options.user = *entry->login;
            if (!password)
                password = entry->password;
        }
    }
    if (!password && !options.user.empty())
        password = prompt(options);
    options.password = password.value_or(std::string());
}

} // namespace mituftp
