// mitu-ftp: a command-line FTP client on CFtpClient. It connects, runs the
// commands given on the command line in order within one session, stops at
// the first failure and quits.

#include "ftp/ftp_client.h"
#include "ftp/ftp_listing.h"
#include "platform/error.h"
#include "platform/event_loop.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* Program = "mitu-ftp";

// Exit statuses.
constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitTimedOut = 2;
constexpr int ExitUsage = 64;

struct Options {
    std::int32_t port = 21;
    std::string user;
    std::string password;
    bool active = false;
    bool ascii = false;
    std::optional<std::int32_t> timeout;
    std::optional<std::int32_t> buffer;
    bool verbose = false;
    bool quiet = false;
    std::string host;
};

// One command of the command line with its arguments and its own options.
struct Invocation {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> flags;                          // "--overwrite"
    std::vector<std::pair<std::string, std::string>> values; // "--start", "100"
    bool hasFlag(std::string_view flag) const {
        for (const auto& f : flags)
            if (f == flag)
                return true;
        return false;
    }
    std::optional<std::string> value(std::string_view option) const {
        for (const auto& [name, text] : values)
            if (name == option)
                return text;
        return std::nullopt;
    }
};

class Session;

// A command's own option: a flag, or an option followed by a value.
struct CommandOption {
    const char* name;
    bool takesValue;
};

// One row per command: its name, how many arguments it takes, the options
// that may follow them, its synopsis, and what it does.
struct CommandSpec {
    const char* name;
    int arguments;
    std::vector<CommandOption> options;
    const char* synopsis;
    const char* summary;
    std::function<int(Session&, const Invocation&)> run;
};

bool parseInt(std::string_view text, std::int32_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return result;
}

// The client, the wait for each step's completion event, and the reports.
class Session {
public:
    explicit Session(const Options& options) : m_options(options) {
        m_client = CFtpClient::create();
        auto record = [this](std::int32_t status) { m_status = status; };
        for (auto* event :
             {&m_client->OnConnect, &m_client->OnCreateDirectory, &m_client->OnDeleteFile,
              &m_client->OnGetCurrentDirectory, &m_client->OnSetCurrentDirectory,
              &m_client->OnRemoveDirectory, &m_client->OnRenameFile, &m_client->OnDownloadFile,
              &m_client->OnUploadFile, &m_client->OnEnumFiles, &m_client->OnQuitSession})
            event->subscribe(record);
        m_client->OnStateChange.subscribe([this](std::int32_t state) {
            if (state == static_cast<std::int32_t>(FtpSessionState::Connected))
                m_reachedServer = true;
        });
        if (options.verbose)
            m_client->SessionProtocolMessage.subscribe(
                [](std::string text, std::int32_t type) { showProtocol(text, type); });
    }

    CFtpClient& client() { return *m_client; }
    const Options& options() const { return m_options; }

    // A result line on standard output (not with --quiet).
    void print(const std::string& text) const {
        if (!m_options.quiet)
            std::cout << text << '\n' << std::flush;
    }

    // Starts one asynchronous method and waits for its completion event.
    // Returns the exit status the outcome stands for, reporting failures.
    // `detail`, when given, adds to the error line of a failure.
    int step(const std::string& what, const std::function<void()>& start,
             const std::function<std::string()>& detail = {}) {
        m_status.reset();
        try {
            start();
        } catch (const platform::Error& e) {
            reportError(e.number(), e.description());
            return ExitFailed;
        }
        platform::EventLoop::instance().runUntil([this] { return m_status.has_value(); });
        switch (static_cast<AsyncResultStatus>(*m_status)) {
        case AsyncResultStatus::Succeeded:
            return ExitOk;
        case AsyncResultStatus::TimedOut:
            std::cerr << Program << ": " << what << ": no answer from the server within "
                      << m_client->TimeOut() << " s\n";
            m_timedOut = true;
            try {
                m_client->CancelAsyncMethod();
            } catch (const platform::Error&) {
            }
            return ExitTimedOut;
        case AsyncResultStatus::Cancelled:
            std::cerr << Program << ": " << what << ": cancelled\n";
            return ExitFailed;
        case AsyncResultStatus::Failed:
        default: {
            auto error = m_client->LastFtpError();
            reportError(error->Number(), error->Description() + (detail ? detail() : ""));
            return ExitFailed;
        }
        }
    }

    // Leaves the session: QUIT when the server still answers, else just close.
    void finish() {
        if (!m_reachedServer ||
            m_client->FtpSessionState() == static_cast<std::int32_t>(FtpSessionState::Disconnected))
            return;
        if (!m_timedOut && m_connected) {
            m_status.reset();
            try {
                m_client->QuitSession();
                platform::EventLoop::instance().runUntil([this] { return m_status.has_value(); });
            } catch (const platform::Error&) {
            }
        }
        try {
            if (m_client->FtpSessionState() !=
                static_cast<std::int32_t>(FtpSessionState::Disconnected))
                m_client->CloseControlConnection();
        } catch (const platform::Error&) {
        }
        // Let a graceful close finish, but never wait long for it.
        platform::EventLoop::instance().runUntil(
            [this] {
                return m_client->FtpSessionState() ==
                       static_cast<std::int32_t>(FtpSessionState::Disconnected);
            },
            platform::Clock::now() + std::chrono::seconds(2));
    }

    void setConnected() { m_connected = true; }

private:
    static void reportError(std::int32_t number, const std::string& description) {
        std::cerr << Program << ": error " << number << ": " << description << '\n';
    }

    static void showProtocol(const std::string& text, std::int32_t type) {
        if (type == static_cast<std::int32_t>(MessageType::ClientCommand)) {
            std::string shown = text;
            if (shown.starts_with("PASS "))
                shown = "PASS ****"; // the password stays off the terminal
            while (!shown.empty() && shown.back() == ' ')
                shown.pop_back();
            std::cerr << "> " << shown << '\n';
            return;
        }
        for (const auto& line : lines(text))
            std::cerr << "< " << line << '\n';
    }

    Options m_options;
    std::shared_ptr<CFtpClient> m_client;
    std::optional<std::int32_t> m_status;
    bool m_timedOut = false;
    bool m_connected = false;
    bool m_reachedServer = false; // the control connection was made at some point
};

// --- the commands -------------------------------------------------------------------

// "YYYY-MM-DD HH:MM" of a listing date (days since 30 December 1899).
std::string dateText(Date date) {
    const double minutesTotal = std::round(date.days * 1440.0);
    std::int64_t days = static_cast<std::int64_t>(std::floor(minutesTotal / 1440.0));
    const int minutes = static_cast<int>(minutesTotal - static_cast<double>(days) * 1440.0);
    // Civil date from a day count (days since 1970-01-01 after the shift).
    std::int64_t z = days - 25569 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d", static_cast<long long>(year),
                  month, day, minutes / 60, minutes % 60);
    return text;
}

// A server's text, quoted for the terminal: control characters escaped,
// long text cut.
std::string quoted(const std::string& text) {
    constexpr std::size_t Longest = 200;
    std::string shown = "\"";
    for (std::size_t i = 0; i < text.size() && i < Longest; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown + (text.size() > Longest ? "\"..." : "\"");
}

int runLs(Session& s, const Invocation&) {
    const auto unreadable = [&]() -> std::string {
        if (s.client().LastFtpError()->Number() != CFtpClient::UnknownListingFormat)
            return "";
        const auto line = FirstUnreadableListingLine(s.client().CurrentDirectoryListing());
        return line ? " First unreadable line: " + quoted(*line) : "";
    };
    if (int rc = s.step(
            "ls", [&] { s.client().EnumFiles(); }, unreadable))
        return rc;
    for (const auto& file : *s.client().CurrentDirectoryFiles()) {
        const bool link = !file->FilePath().empty() || file->Permissions().starts_with("l");
        const char type = file->IsDirectory() ? 'd' : link ? 'l' : '-';
        std::string line = std::string(1, type) + " " + std::to_string(file->FileSize()) + " " +
                           dateText(file->LastWriteTime()) + " " + file->FileName();
        if (!file->FilePath().empty())
            line += " -> " + file->FilePath();
        s.print(line);
    }
    return ExitOk;
}

std::string sizeText(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// Watches one transfer: a progress bar on standard error while it runs
// (only on a terminal, and not with --quiet), a summary line at the end.
class TransferMeter {
public:
    TransferMeter(Session& s, std::int64_t start, std::optional<std::int64_t> total)
        : m_session(s), m_start(start), m_total(total),
          m_bar(!s.options().quiet && ::isatty(2) == 1), m_began(Clock::now()) {
        m_position = start;
        m_token = s.client().OnDataTransferProgress.subscribe([this](std::int64_t position) {
            m_position = position;
            const auto now = Clock::now();
            if (m_bar && now - m_shown >= std::chrono::milliseconds(100)) {
                m_shown = now;
                draw(now);
            }
        });
    }
    ~TransferMeter() { m_session.client().OnDataTransferProgress.unsubscribe(m_token); }

    // Ends the bar; on success prints what was moved.
    void finish(bool succeeded, const std::string& what) {
        const auto now = Clock::now();
        if (m_bar && m_shown != Clock::time_point()) {
            draw(now);
            std::cerr << '\n';
        }
        if (!succeeded)
            return;
        const double seconds = std::chrono::duration<double>(now - m_began).count();
        const std::int64_t moved = m_position - m_start;
        char text[128];
        std::snprintf(text, sizeof text, ": %lld bytes in %.2f s (%.1f MB/s)",
                      static_cast<long long>(moved), seconds,
                      seconds > 0 ? static_cast<double>(moved) / seconds / 1e6 : 0.0);
        m_session.print(what + text);
    }

private:
    using Clock = std::chrono::steady_clock;

    void draw(Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - m_began).count();
        const double rate = seconds > 0 ? static_cast<double>(m_position - m_start) / seconds : 0;
        std::string line = "\r" + sizeText(static_cast<double>(m_position));
        if (m_total)
            line += " of " + sizeText(static_cast<double>(*m_total));
        line += "  " + sizeText(rate) + "/s";
        if (m_total && rate > 0) {
            const auto left =
                static_cast<long long>(static_cast<double>(*m_total - m_position) / rate);
            char text[32];
            std::snprintf(text, sizeof text, "  %02lld:%02lld left", left / 60, left % 60);
            line += text;
        }
        std::cerr << line << "   " << std::flush;
    }

    Session& m_session;
    std::int64_t m_start;
    std::optional<std::int64_t> m_total;
    bool m_bar;
    Clock::time_point m_began;
    Clock::time_point m_shown{};
    std::int64_t m_position = 0;
    platform::Event<std::int64_t>::Token m_token{};
};

int runGet(Session& s, const Invocation& in) {
    const bool overwrite = in.hasFlag("--overwrite");
    std::error_code error;
    std::int64_t start = 0;
    if (!overwrite && std::filesystem::is_regular_file(in.args[1], error))
        start = static_cast<std::int64_t>(std::filesystem::file_size(in.args[1], error));
    TransferMeter meter(s, start, std::nullopt);
    const int rc =
        s.step("get", [&] { s.client().DownloadFile(in.args[0], in.args[1], overwrite); });
    meter.finish(rc == ExitOk, in.args[0] + " -> " + in.args[1]);
    return rc;
}

int runPut(Session& s, const Invocation& in) {
    std::int64_t start = 0;
    if (auto text = in.value("--start")) // checked with the command line
        std::from_chars(text->data(), text->data() + text->size(), start);
    std::error_code error;
    std::optional<std::int64_t> total;
    if (std::filesystem::is_regular_file(in.args[0], error))
        total = static_cast<std::int64_t>(std::filesystem::file_size(in.args[0], error));
    TransferMeter meter(s, start, total);
    const int rc = s.step("put", [&] { s.client().UploadFile(in.args[0], in.args[1], start); });
    meter.finish(rc == ExitOk, in.args[0] + " -> " + in.args[1]);
    return rc;
}

int runPwd(Session& s, const Invocation&) {
    if (int rc = s.step("pwd", [&] { s.client().GetCurrentDirectory(); }))
        return rc;
    s.print(s.client().CurrentDirectory());
    return ExitOk;
}

int runCd(Session& s, const Invocation& in) {
    if (int rc = s.step("cd", [&] { s.client().SetCurrentDirectory(in.args[0]); }))
        return rc;
    return runPwd(s, in);
}

int runMkdir(Session& s, const Invocation& in) {
    return s.step("mkdir", [&] { s.client().CreateDirectory(in.args[0]); });
}

int runRmdir(Session& s, const Invocation& in) {
    return s.step("rmdir", [&] { s.client().RemoveDirectory(in.args[0]); });
}

int runRm(Session& s, const Invocation& in) {
    return s.step("rm", [&] { s.client().DeleteFile(in.args[0]); });
}

int runMv(Session& s, const Invocation& in) {
    return s.step("mv", [&] { s.client().RenameFile(in.args[0], in.args[1]); });
}

const std::vector<CommandSpec>& commands() {
    static const std::vector<CommandSpec> table = {
        {"pwd", 0, {}, "pwd", "print the current remote directory", runPwd},
        {"cd", 1, {}, "cd DIR", "change the remote directory and print it", runCd},
        {"mkdir", 1, {}, "mkdir DIR", "create a remote directory", runMkdir},
        {"rmdir", 1, {}, "rmdir DIR", "remove a remote directory", runRmdir},
        {"rm", 1, {}, "rm FILE", "delete a remote file", runRm},
        {"mv", 2, {}, "mv OLD NEW", "rename a remote file or directory", runMv},
        {"ls", 0, {}, "ls", "list the remote directory: TYPE SIZE DATE TIME NAME", runLs},
        {"get",
         2,
         {{"--overwrite", false}},
         "get REMOTE LOCAL [--overwrite]",
         "download; resumes a partial LOCAL unless --overwrite",
         runGet},
        {"put",
         2,
         {{"--start", true}},
         "put LOCAL REMOTE [--start N]",
         "upload; from byte N of LOCAL with --start",
         runPut},
    };
    return table;
}

const CommandSpec* findCommand(std::string_view name) {
    for (const auto& entry : commands())
        if (name == entry.name)
            return &entry;
    return nullptr;
}

void printUsage(std::ostream& out) {
    out << "Usage: " << Program
        << " [--port N] [--user NAME] [--password TEXT] [--active] [--ascii]\n"
           "                [--timeout SEC] [--buffer N] [--verbose] [--quiet]\n"
           "                HOST COMMAND [ARGS]...\n"
           "\n"
           "Connects to the FTP server HOST, runs the commands in order in one session,\n"
           "stops at the first failure and quits. Without --user the login is anonymous.\n"
           "\n"
           "Commands:\n";
    for (const auto& entry : commands()) {
        std::string synopsis = entry.synopsis;
        out << "  " << synopsis << std::string(synopsis.size() < 30 ? 30 - synopsis.size() : 1, ' ')
            << entry.summary << '\n';
    }
    out << "\n"
           "Options:\n"
           "  --port N         control port of the server (default 21)\n"
           "  --user NAME      login name (default: anonymous)\n"
           "  --password TEXT  login password\n"
           "  --active         active data connections (default: passive)\n"
           "  --ascii          transfer files as text (default: binary)\n"
           "  --timeout SEC    seconds to wait for each answer (1-32767, default 60)\n"
           "  --buffer N       upload piece size in bytes (512-8192, default 1460)\n"
           "  --verbose        show the session protocol on standard error\n"
           "  --quiet          print nothing but errors\n"
           "  --help           show this text\n"
           "\n"
           "Exit status: 0 all commands succeeded, 1 a command failed, 2 the server did\n"
           "not answer in time, 64 usage error.\n";
}

struct UsageError {
    std::string message;
};

// Reads the command line into options and invocations; throws UsageError.
// Returns false when --help was given.
bool parseCommandLine(int argc, char** argv, Options& options, std::vector<Invocation>& todo) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t i = 0;
    auto valueOf = [&](const std::string& option) -> std::string {
        if (i + 1 >= args.size())
            throw UsageError{option + " needs a value"};
        return args[++i];
    };
    auto number = [&](const std::string& option, std::int32_t low, std::int32_t high) {
        std::string text = valueOf(option);
        std::int32_t value = 0;
        if (!parseInt(text, value) || value < low || value > high)
            throw UsageError{option + " takes a number from " + std::to_string(low) + " to " +
                             std::to_string(high) + ", not \"" + text + "\""};
        return value;
    };
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h")
            return false;
        else if (a == "--port")
            options.port = number(a, 1, 65535);
        else if (a == "--user")
            options.user = valueOf(a);
        else if (a == "--password")
            options.password = valueOf(a);
        else if (a == "--active")
            options.active = true;
        else if (a == "--ascii")
            options.ascii = true;
        else if (a == "--timeout")
            options.timeout = number(a, 1, 32767);
        else if (a == "--buffer")
            options.buffer = number(a, 512, 8192);
        else if (a == "--verbose")
            options.verbose = true;
        else if (a == "--quiet")
            options.quiet = true;
        else if (a == "--")
            break;
        else
            throw UsageError{"unknown option " + a};
    }
    if (i < args.size() && args[i] == "--")
        ++i;
    if (i >= args.size())
        throw UsageError{"no server given"};
    options.host = args[i++];
    if (i >= args.size())
        throw UsageError{"no command given"};
    while (i < args.size()) {
        const CommandSpec* entry = findCommand(args[i]);
        if (!entry)
            throw UsageError{"unknown command \"" + args[i] + "\""};
        Invocation in;
        in.name = args[i++];
        for (int n = 0; n < entry->arguments; ++n) {
            if (i >= args.size())
                throw UsageError{std::string("usage: ") + entry->synopsis};
            in.args.push_back(args[i++]);
        }
        // The command's own options follow its arguments.
        while (i < args.size() && args[i].starts_with("--")) {
            const CommandOption* option = nullptr;
            for (const auto& o : entry->options)
                if (args[i] == o.name)
                    option = &o;
            if (!option)
                throw UsageError{in.name + ": unknown option " + args[i]};
            if (option->takesValue) {
                if (i + 1 >= args.size())
                    throw UsageError{in.name + ": " + option->name + " needs a value"};
                in.values.emplace_back(option->name, args[i + 1]);
                i += 2;
            } else {
                in.flags.push_back(args[i++]);
            }
        }
        if (auto start = in.value("--start")) {
            std::int64_t offset = -1;
            auto [end, ec] = std::from_chars(start->data(), start->data() + start->size(), offset);
            if (ec != std::errc() || end != start->data() + start->size() || offset < 0)
                throw UsageError{in.name + ": --start takes a byte offset, not \"" + *start + "\""};
        }
        todo.push_back(std::move(in));
    }
    return true;
}

int run(const Options& options, const std::vector<Invocation>& todo) {
    Session session(options);
    CFtpClient& client = session.client();
    client.setFtpServer(options.host);
    client.setRemotePort(options.port);
    client.setUserName(options.user);
    client.setPassword(options.password);
    client.setPassiveMode(!options.active);
    client.setTransferMode(
        static_cast<std::int32_t>(options.ascii ? TransferMode::Ascii : TransferMode::Binary));
    if (options.timeout)
        client.setTimeOut(static_cast<std::int16_t>(*options.timeout));
    if (options.buffer)
        client.setSendBufferLenght(static_cast<std::int16_t>(*options.buffer));

    int rc = session.step("connect", [&] { client.Connect(); });
    if (rc == ExitOk) {
        session.setConnected();
        for (const auto& in : todo) {
            rc = findCommand(in.name)->run(session, in);
            if (rc != ExitOk)
                break;
        }
    }
    session.finish();
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<Invocation> todo;
    try {
        if (!parseCommandLine(argc, argv, options, todo)) {
            printUsage(std::cout);
            return ExitOk;
        }
    } catch (const UsageError& e) {
        std::cerr << Program << ": " << e.message << '\n'
                  << "Try '" << Program << " --help' for more information.\n";
        return ExitUsage;
    }
    try {
        return run(options, todo);
    } catch (const platform::Error& e) {
        std::cerr << Program << ": error " << e.number() << ": " << e.description() << '\n';
        return ExitFailed;
    } catch (const std::exception& e) {
        std::cerr << Program << ": " << e.what() << '\n';
        return ExitFailed;
    }
}
