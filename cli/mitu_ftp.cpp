// mitu-ftp: a command-line FTP client on CFtpClient. It connects, runs the
// commands given on the command line in order within one session, stops at
// the first failure and quits.

#include "cli/ftp_output.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_listing.h"
#include "platform/error.h"
#include "platform/event_loop.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
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

// The client's error for a command on a connection that is gone.
constexpr std::int32_t NotConnected = 16008;

// The largest upload piece the client takes, and the tool's default.
constexpr std::int32_t MaxBuffer = 8192;

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
    bool tls = false;
    std::string caFile;
    bool insecure = false;
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

// "get a b" for the error line.
std::string invocationText(const Invocation& in) {
    std::string text = in.name;
    for (const auto& arg : in.args)
        text += " " + arg;
    return text;
}

// A reply as one line: its lines joined, the continuation lines without
// their code.
std::string oneLine(const std::string& reply) {
    std::string result;
    for (auto line : lines(reply)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty())
            continue;
        if (!result.empty()) {
            if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                (line[3] == '-' || line[3] == ' ') && line.compare(0, 3, result, 0, 3) == 0)
                line.erase(0, 4);
            result += ' ';
        }
        result += line;
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
            m_lastActivity = platform::Clock::now();
            if (state == static_cast<std::int32_t>(FtpSessionState::Connected))
                m_reachedServer = true;
        });
        m_client->OnDataTransferProgress.subscribe(
            [this](std::int64_t) { m_lastActivity = platform::Clock::now(); });
        m_client->SessionProtocolMessage.subscribe([this](std::string text, std::int32_t type) {
            m_lastActivity = platform::Clock::now();
            if (type == static_cast<std::int32_t>(MessageType::ServerErrorReply))
                m_lastErrorReply = text;
            if (m_options.verbose)
                showProtocol(text, type);
        });
    }

    CFtpClient& client() { return *m_client; }
    const Options& options() const { return m_options; }

    // The data a command was asked for, on standard output.
    void print(const std::string& text) const { std::cout << text << '\n' << std::flush; }
    // A status line on standard output (not with --quiet).
    void status(const std::string& text) const {
        if (!m_options.quiet)
            print(text);
    }
    // A failure of `what` on standard error, as one line.
    void fail(const std::string& what, const std::string& text) const {
        std::cerr << Program << ": " << what << ": " << text << '\n';
    }

    // Starts one asynchronous method and waits for its completion event.
    // Returns the exit status the outcome stands for, reporting failures
    // as "mitu-ftp: WHAT: REASON (error N)"; `detail`, when given, adds to
    // the reason.
    int step(const std::string& what, const std::function<void()>& start,
             const std::function<std::string()>& detail = {}) {
        m_status.reset();
        m_lastErrorReply.clear();
        try {
            start();
        } catch (const platform::Error& e) {
            fail(what, e.description() + " (error " + std::to_string(e.number()) + ")");
            return ExitFailed;
        }
        if (!waitForCompletion()) {
            // The client went quiet without ending the method: give up as
            // its own time-out would have.
            m_status = static_cast<std::int32_t>(AsyncResultStatus::TimedOut);
        }
        switch (static_cast<AsyncResultStatus>(*m_status)) {
        case AsyncResultStatus::Succeeded:
            return ExitOk;
        case AsyncResultStatus::TimedOut:
            fail(what,
                 "no answer from the server within " + std::to_string(m_client->TimeOut()) + " s");
            m_timedOut = true;
            try {
                m_client->CancelAsyncMethod();
            } catch (const platform::Error&) {
            }
            return ExitTimedOut;
        case AsyncResultStatus::Cancelled:
            fail(what, "cancelled");
            return ExitFailed;
        case AsyncResultStatus::Failed:
        default: {
            auto error = m_client->LastFtpError();
            fail(what, reason(error->Number(), error->Description(), detail ? detail() : ""));
            return ExitFailed;
        }
        }
    }

    // Leaves the session: QUIT when the server still answers, else just
    // close. All of it within one time-out from here, whatever the server
    // does.
    void finish() {
        if (!m_reachedServer || disconnected())
            return;
        const auto deadline = platform::Clock::now() + std::chrono::seconds(m_client->TimeOut());
        if (!m_timedOut && m_connected) {
            m_status.reset();
            try {
                m_client->QuitSession();
                platform::EventLoop::instance().runUntil(
                    [this] { return m_status.has_value() || disconnected(); }, deadline);
            } catch (const platform::Error& e) {
                if (e.number() == NotConnected)
                    return; // the connection is gone already: nothing left to close
            }
            if (m_status == static_cast<std::int32_t>(AsyncResultStatus::Failed))
                return; // the connection failed under the QUIT and is closed
        }
        try {
            if (!disconnected())
                m_client->CloseControlConnection();
        } catch (const platform::Error&) {
        }
        // Let a graceful close finish, but never wait long for it.
        platform::EventLoop::instance().runUntil(
            [this] { return disconnected(); },
            std::min(deadline, platform::Clock::now() + std::chrono::seconds(2)));
    }

    void setConnected() { m_connected = true; }

private:
    bool disconnected() const {
        return m_client->FtpSessionState() ==
               static_cast<std::int32_t>(FtpSessionState::Disconnected);
    }

    // Waits for the completion event; false when the client has shown no
    // sign of life (no reply, no progress, no state change) for a time-out
    // and a little more, which its own time-out should never allow.
    bool waitForCompletion() {
        auto& loop = platform::EventLoop::instance();
        const auto quiet = std::chrono::seconds(m_client->TimeOut()) + std::chrono::seconds(1);
        m_lastActivity = platform::Clock::now();
        for (;;) {
            const auto since = m_lastActivity;
            if (loop.runUntil([this] { return m_status.has_value(); }, since + quiet))
                return true;
            if (m_lastActivity == since)
                return false;
        }
    }

    // The server's own words where its reply is the cause, else ours.
    // `detail` follows after a semicolon.
    std::string reason(std::int32_t number, const std::string& description,
                       const std::string& detail) const {
        std::string text = description;
        const std::string reply = oneLine(m_lastErrorReply);
        if (number > 16000 && number < 17000 && reply.starts_with(std::to_string(number - 16000)))
            text = reply;
        if (!detail.empty()) {
            if (text.ends_with('.'))
                text.pop_back();
            text += "; " + detail;
        }
        return text + " (error " + std::to_string(number) + ")";
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
    std::string m_lastErrorReply;
    platform::Clock::time_point m_lastActivity{};
    bool m_timedOut = false;
    bool m_connected = false;
    bool m_reachedServer = false; // the control connection was made at some point
};

// --- the commands -------------------------------------------------------------------

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

int runLs(Session& s, const Invocation& in) {
    const auto unreadable = [&]() -> std::string {
        if (s.client().LastFtpError()->Number() != CFtpClient::UnknownListingFormat)
            return "";
        const auto line = FirstUnreadableListingLine(s.client().CurrentDirectoryListing());
        return line ? "first unreadable line: " + quoted(*line) : "";
    };
    if (int rc = s.step(
            invocationText(in), [&] { s.client().EnumFiles(); }, unreadable))
        return rc;
    for (const auto& file : *s.client().CurrentDirectoryFiles())
        s.print(mituftp::listingLine(*file));
    return ExitOk;
}

int runGet(Session& s, const Invocation& in) {
    const bool overwrite = in.hasFlag("--overwrite");
    std::error_code error;
    std::int64_t start = 0;
    if (!overwrite && std::filesystem::is_regular_file(in.args[1], error))
        start = static_cast<std::int64_t>(std::filesystem::file_size(in.args[1], error));
    mituftp::TransferMeter meter(s.client(), !s.options().quiet, start, std::nullopt);
    // A part that arrived stays for the next get to resume; say so.
    const auto kept = [&]() -> std::string {
        if (meter.moved() <= 0 || !std::filesystem::is_regular_file(in.args[1], error))
            return "";
        return "the " + std::to_string(meter.moved()) + " bytes received stay in " + in.args[1] +
               " for a later get to resume";
    };
    const int rc = s.step(
        invocationText(in), [&] { s.client().DownloadFile(in.args[0], in.args[1], overwrite); },
        kept);
    const std::string summary = meter.finish();
    if (rc == ExitOk)
        s.status(in.args[0] + " -> " + in.args[1] + summary);
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
    if (total && start > *total) {
        s.fail(invocationText(in), "--start " + std::to_string(start) + " is past the end of " +
                                       in.args[0] + " (" + std::to_string(*total) + " bytes)");
        return ExitUsage;
    }
    mituftp::TransferMeter meter(s.client(), !s.options().quiet, start, total);
    const int rc =
        s.step(invocationText(in), [&] { s.client().UploadFile(in.args[0], in.args[1], start); });
    const std::string summary = meter.finish();
    if (rc == ExitOk)
        s.status(in.args[0] + " -> " + in.args[1] + summary);
    return rc;
}

int runPwd(Session& s, const Invocation& in) {
    if (int rc = s.step(invocationText(in), [&] { s.client().GetCurrentDirectory(); }))
        return rc;
    s.print(s.client().CurrentDirectory());
    return ExitOk;
}

int runCd(Session& s, const Invocation& in) {
    if (int rc = s.step(invocationText(in), [&] { s.client().SetCurrentDirectory(in.args[0]); }))
        return rc;
    if (int rc = s.step("pwd", [&] { s.client().GetCurrentDirectory(); }))
        return rc;
    s.status(s.client().CurrentDirectory());
    return ExitOk;
}

int runMkdir(Session& s, const Invocation& in) {
    return s.step(invocationText(in), [&] { s.client().CreateDirectory(in.args[0]); });
}

int runRmdir(Session& s, const Invocation& in) {
    return s.step(invocationText(in), [&] { s.client().RemoveDirectory(in.args[0]); });
}

int runRm(Session& s, const Invocation& in) {
    return s.step(invocationText(in), [&] { s.client().DeleteFile(in.args[0]); });
}

int runMv(Session& s, const Invocation& in) {
    return s.step(invocationText(in), [&] { s.client().RenameFile(in.args[0], in.args[1]); });
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
           "                [--tls [--cacert FILE] [--insecure]]\n"
           "                HOST COMMAND [ARGS]...\n"
           "\n"
           "Connects to the FTP server HOST (a name, an IPv4 address, or an IPv6 address\n"
           "such as ::1 or [::1]), runs the commands in order in one session, stops at\n"
           "the first failure and quits. Without --user the login is anonymous.\n"
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
           "  --buffer N       upload piece size in bytes (512-8192, default 8192)\n"
           "  --tls            explicit FTP over TLS (AUTH TLS): the login, the commands\n"
           "                   and every data connection are encrypted; the server's\n"
           "                   certificate must be trusted and name HOST\n"
           "  --cacert FILE    with --tls: trust the PEM certificates in FILE instead of\n"
           "                   the system's\n"
           "  --insecure       with --tls: accept any certificate (for a test server)\n"
           "  --verbose        show the session protocol (and the TLS version and cipher)\n"
           "                   on standard error\n"
           "  --quiet          no progress bar and no status lines; the data asked for\n"
           "                   (pwd, ls) is still printed\n"
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
            options.buffer = number(a, 512, MaxBuffer);
        else if (a == "--verbose")
            options.verbose = true;
        else if (a == "--tls")
            options.tls = true;
        else if (a == "--cacert")
            options.caFile = valueOf(a);
        else if (a == "--insecure")
            options.insecure = true;
        else if (a == "--quiet")
            options.quiet = true;
        else if (a == "--")
            break;
        else
            throw UsageError{"unknown option " + a};
    }
    if (!options.tls && (options.insecure || !options.caFile.empty()))
        throw UsageError{std::string(options.insecure ? "--insecure" : "--cacert") +
                         " needs --tls"};
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
    client.setSendBufferLenght(static_cast<std::int16_t>(options.buffer.value_or(MaxBuffer)));
    client.setUseTls(options.tls);
    client.setTlsCaFile(options.caFile);
    client.setTlsInsecure(options.insecure);
    if (options.tls && options.insecure)
        std::cerr << Program
                  << ": warning: --insecure: the server's certificate is not checked; "
                     "anyone on the way can read and change the session\n";

    int rc = session.step("connect " + options.host, [&] { client.Connect(); });
    if (rc == ExitOk && options.verbose && options.tls)
        std::cerr << "TLS: " << client.TlsDescription() << '\n';
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
