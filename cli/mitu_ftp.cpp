// mitu-ftp: a command-line FTP client on CFtpClient. It connects, runs the
// commands given on the command line in order within one session, stops at
// the first failure and quits.

#include "ftp/ftp_client.h"
#include "platform/error.h"
#include "platform/event_loop.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
    int step(const std::string& what, const std::function<void()>& start) {
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
            reportError(error->Number(), error->Description());
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
    };
    return table;
}

const CommandSpec* findCommand(std::string_view name) {
    for (const auto& spec : commands())
        if (name == spec.name)
            return &spec;
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
    for (const auto& spec : commands()) {
        std::string synopsis = spec.synopsis;
        out << "  " << synopsis << std::string(synopsis.size() < 30 ? 30 - synopsis.size() : 1, ' ')
            << spec.summary << '\n';
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
        const CommandSpec* spec = findCommand(args[i]);
        if (!spec)
            throw UsageError{"unknown command \"" + args[i] + "\""};
        Invocation in;
        in.name = args[i++];
        for (int n = 0; n < spec->arguments; ++n) {
            if (i >= args.size())
                throw UsageError{std::string("usage: ") + spec->synopsis};
            in.args.push_back(args[i++]);
        }
        // The command's own options follow its arguments.
        while (i < args.size() && args[i].starts_with("--")) {
            const CommandOption* option = nullptr;
            for (const auto& o : spec->options)
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
