#include "cli/ftp_command_line.h"

#include "cli/option_reader.h"

#include <charconv>

namespace mituftp {

const CommandSpec* findCommand(const CommandTable& table, std::string_view name) {
    for (const auto& entry : table)
        if (name == entry.name)
            return &entry;
    return nullptr;
}

void printUsage(std::ostream& out, const CommandTable& table) {
    out << "Usage: " << Program
        << " [--port N] [--user NAME] [--password-file FILE] [--active]\n"
           "                [--ascii] [--timeout SEC] [--buffer N] [--verbose] [--quiet]\n"
           "                [--tls [--cacert FILE] [--insecure]]\n"
           "                HOST COMMAND [ARGS]...\n"
           "\n"
           "Connects to the FTP server HOST (a name, an IPv4 address, or an IPv6 address\n"
           "such as ::1 or [::1]), runs the commands in order in one session, stops at\n"
           "the first failure and quits. Without --user (or a login in ~/.netrc) the\n"
           "login is anonymous.\n"
           "\n"
           "Commands:\n";
    for (const auto& entry : table) {
        std::string synopsis = entry.synopsis;
        out << "  " << synopsis << std::string(synopsis.size() < 30 ? 30 - synopsis.size() : 1, ' ')
            << entry.summary << '\n';
    }
    out << "\n"
           "Options:\n"
           "  --port N         control port of the server (default 21)\n"
           "  --user NAME      login name (default: anonymous)\n"
           "  --password-file FILE\n"
           "                   the password: the first line of FILE; else the variable\n"
           "                   MITU_FTP_PASSWORD, else ~/.netrc (machine or default entry\n"
           "                   with login and password; refused while others may read\n"
           "                   it), else a prompt without echo on a terminal\n"
           "  --password TEXT  the password on the command line, where other users can\n"
           "                   see it (warns on a terminal)\n"
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
           "  --version        show the program's version\n"
           "\n"
           "Exit status: 0 all commands succeeded, 1 a command failed, 2 the server did\n"
           "not answer in time, 64 usage error.\n";
}

bool parseCommandLine(int argc, char** argv, const CommandTable& table, Options& options,
                      std::vector<Invocation>& todo) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const cli::Option sessionOptions[] = {
        cli::numberOption("--port", 1, 65535, [&](std::int32_t port) { options.port = port; }),
        cli::textOption("--user", [&](const std::string& user) { options.user = user; }),
        cli::textOption("--password",
                        [&](const std::string& password) {
                            options.password = password;
                            options.passwordOnCommandLine = true;
                        }),
        cli::textOption("--password-file",
                        [&](const std::string& file) { options.passwordFile = file; }),
        cli::flagOption("--active", [&] { options.active = true; }),
        cli::flagOption("--ascii", [&] { options.ascii = true; }),
        cli::numberOption("--timeout", 1, 32767,
                          [&](std::int32_t seconds) { options.timeout = seconds; }),
        cli::numberOption("--buffer", 512, MaxBuffer,
                          [&](std::int32_t bytes) { options.buffer = bytes; }),
        cli::flagOption("--verbose", [&] { options.verbose = true; }),
        cli::flagOption("--tls", [&] { options.tls = true; }),
        cli::textOption("--cacert", [&](const std::string& file) { options.caFile = file; }),
        cli::flagOption("--insecure", [&] { options.insecure = true; }),
        cli::flagOption("--quiet", [&] { options.quiet = true; }),
    };
    std::size_t i = 0;
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h")
            return false;
        if (a == "--version") {
            options.version = true;
            return false;
        }
        if (a == "--")
            break;
        if (const auto problem = cli::readOption(sessionOptions, args, i)) {
            using Kind = cli::OptionProblem::Kind;
            if (problem->kind == Kind::Unknown)
                throw UsageError{"unknown option " + a};
            if (problem->kind == Kind::NoValue)
                throw UsageError{a + " needs a value"};
            throw UsageError{a + " takes a number from " + std::to_string(problem->row->low) +
                             " to " + std::to_string(problem->row->high) + ", not \"" +
                             problem->value + "\""};
        }
    }
    if (options.passwordOnCommandLine && !options.passwordFile.empty())
        throw UsageError{"--password and --password-file exclude each other"};
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
        const CommandSpec* entry = findCommand(table, args[i]);
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

} // namespace mituftp
