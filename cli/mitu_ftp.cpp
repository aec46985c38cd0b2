// mitu-ftp: a command-line FTP client on CFtpClient. It connects, runs the
// commands given on the command line in order within one session, stops at
// the first failure and quits.

#include "cli/ftp_command_line.h"
#include "cli/ftp_output.h"
#include "cli/ftp_password.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_errors.h"
#include "ftp/ftp_listing.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/terminal_text.h"

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

namespace mituftp {

namespace {

// Exit statuses.
constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitTimedOut = 2;
constexpr int ExitUsage = 64;

// The client's error for a command on a connection that is gone.
using ftp::errors::NotConnected;
// The client's error for a 257 reply without a quoted path.
using ftp::errors::NoDirectory;
// Replies of one step kept for its error line, the latest last.
constexpr std::size_t KeptReplies = 16;

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

} // namespace

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
        // Protocol messages are no sign of progress: a server may send
        // preliminary replies for ever.
        m_client->SessionProtocolMessage.subscribe([this](std::string text, std::int32_t type) {
            if (type != static_cast<std::int32_t>(MessageType::ClientCommand)) {
                if (m_stepReplies.size() == KeptReplies)
                    m_stepReplies.erase(m_stepReplies.begin());
                m_stepReplies.push_back(oneLine(text));
            }
            if (m_options.verbose)
                showProtocol(text, type);
        });
    }

    CFtpClient& client() { return *m_client; }
    const Options& options() const { return m_options; }

    // The data a command was asked for, on standard output. Everything
    // printed passes the terminal filter: much of it is the server's.
    void print(const std::string& text) const {
        std::cout << platform::terminalText(text) << '\n' << std::flush;
    }
    // A status line on standard output (not with --quiet).
    void status(const std::string& text) const {
        if (!m_options.quiet)
            print(text);
    }
    // A failure of `what` on standard error, as one line.
    void fail(const std::string& what, const std::string& text) const {
        std::cerr << Program << ": " << platform::terminalText(what + ": " + text) << '\n';
    }

    // Starts one asynchronous method and waits for its completion event.
    // Returns the exit status the outcome stands for, reporting failures
    // as "mitu-ftp: WHAT: REASON (error N)"; `detail`, when given, adds to
    // the reason.
    int step(const std::string& what, const std::function<void()>& start,
             const std::function<std::string()>& detail = {}) {
        m_status.reset();
        m_stepReplies.clear();
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
    // Also true when the connection failed: no close is then to come.
    bool disconnected() const {
        return m_client->FtpSessionState() ==
                   static_cast<std::int32_t>(FtpSessionState::Disconnected) ||
               !m_client->ControlConnectionOpen();
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

    // The latest reply of this step with `code`, as one line.
    std::optional<std::string> replyWithCode(std::int32_t code) const {
        const std::string digits = std::to_string(code);
        for (auto at = m_stepReplies.rbegin(); at != m_stepReplies.rend(); ++at)
            if (at->starts_with(digits) && (at->size() == 3 || (*at)[3] == ' ' || (*at)[3] == '-'))
                return *at;
        return std::nullopt;
    }

    // The server's own words where its reply is the cause, else ours; a
    // reply that did not give what the client needed follows our words.
    // Only 16100 to 16599 stand for reply codes: the client's own numbers
    // lie below. `detail` follows after a semicolon.
    std::string reason(std::int32_t number, const std::string& description,
                       const std::string& detail) const {
        std::string text = description;
        if (const std::int32_t code = ftp::errors::ReplyCodeOfError(number)) {
            if (auto reply = replyWithCode(code))
                text = *reply;
            else if (text.empty())
                text = "the server answered " + std::to_string(code);
        } else if (number == NoDirectory && !m_stepReplies.empty()) {
            if (text.ends_with('.'))
                text.pop_back();
            text += ": " + m_stepReplies.back();
        }
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
            std::cerr << "> " << platform::terminalText(shown) << '\n';
            return;
        }
        for (const auto& line : lines(text))
            std::cerr << "< " << platform::terminalText(line) << '\n';
    }

    Options m_options;
    std::shared_ptr<CFtpClient> m_client;
    std::optional<std::int32_t> m_status;
    std::vector<std::string> m_stepReplies; // the replies of the running step, each one line
    platform::Clock::time_point m_lastActivity{};
    bool m_timedOut = false;
    bool m_connected = false;
    bool m_reachedServer = false; // the control connection was made at some point
};

namespace {

// --- the commands -------------------------------------------------------------------

// A server's text in quotes, long text cut. Quotes and backslashes inside
// are escaped as the terminal filter escapes control characters, so that
// the filter (which the whole line passes) leaves them alone.
std::string quoted(const std::string& text) {
    constexpr std::size_t Longest = 200;
    std::string shown = "\"";
    for (std::size_t i = 0; i < text.size() && i < Longest; ++i) {
        if (text[i] == '"')
            shown += "\\x22";
        else if (text[i] == '\\')
            shown += "\\x5c";
        else
            shown += text[i];
    }
    return shown + (text.size() > Longest ? "\"..." : "\"");
}

// MLSD where the server offers it, else LIST; --verbose says which.
int runLs(Session& s, const Invocation& in) {
    const auto machine = [&] { return s.client().ListingCommand() == "MLSD"; };
    const auto unreadable = [&]() -> std::string {
        if (s.client().LastFtpError()->Number() != CFtpClient::UnknownListingFormat)
            return "";
        const std::string text = s.client().CurrentDirectoryListing();
        const auto line =
            machine() ? FirstUnreadableMachineListingLine(text) : FirstUnreadableListingLine(text);
        return line ? "first unreadable line: " + quoted(*line) : "";
    };
    const int rc = s.step(
        invocationText(in), [&] { s.client().EnumFiles(); }, unreadable);
    if (s.options().verbose && !s.client().ListingCommand().empty())
        std::cerr << "listing: " << s.client().ListingCommand()
                  << (machine() ? " (machine listing)\n" : " (server's own format)\n");
    if (rc != ExitOk)
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
    // A part that arrived stays for the next get to resume; say so, when
    // the file holds what it held before and what arrived, no more, no less.
    const auto kept = [&]() -> std::string {
        if (meter.moved() <= 0 || !std::filesystem::is_regular_file(in.args[1], error) ||
            static_cast<std::int64_t>(std::filesystem::file_size(in.args[1], error)) !=
                start + meter.moved())
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
    if (!total && start > 0 && std::filesystem::exists(in.args[0], error)) {
        s.fail(invocationText(in), "--start needs a file that can be read at any position; " +
                                       in.args[0] + " is not one");
        return ExitUsage;
    }
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
    client.setUseMachineListings(true);
    client.setUseTls(options.tls);
    client.setTlsCaFile(options.caFile);
    client.setTlsInsecure(options.insecure);
    if (options.tls && options.insecure)
        std::cerr << Program
                  << ": warning: --insecure: the server's certificate is not checked; "
                     "anyone on the way can read and change the session\n";

    int rc = session.step("connect " + options.host, [&] { client.Connect(); });
    if (rc == ExitOk && options.verbose && options.tls)
        std::cerr << "TLS: " << platform::terminalText(client.TlsDescription()) << '\n';
    if (rc == ExitOk) {
        session.setConnected();
        for (const auto& in : todo) {
            rc = findCommand(commands(), in.name)->run(session, in);
            if (rc != ExitOk)
                break;
        }
    }
    session.finish();
    return rc;
}

} // namespace

} // namespace mituftp

int main(int argc, char** argv) {
    using namespace mituftp;
    Options options;
    std::vector<Invocation> todo;
    try {
        if (!parseCommandLine(argc, argv, commands(), options, todo)) {
            if (options.version)
                std::cout << Program << ' ' << MITU_VERSION << '\n';
            else
                printUsage(std::cout, commands());
            return ExitOk;
        }
        completeLogin(options);
    } catch (const UsageError& e) {
        std::cerr << Program << ": " << e.message << '\n'
                  << "Try '" << Program << " --help' for more information.\n";
        return ExitUsage;
    } catch (const LoginError& e) {
        std::cerr << Program << ": " << e.message << '\n';
        return ExitFailed;
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
