#pragma once

// mitu-ftp's command line: the session's options and the commands in order,
// each with its arguments and its own options, read against a table of the
// commands the tool knows.

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mituftp {

inline constexpr const char* Program = "mitu-ftp";

// The largest upload piece the client takes, and the tool's default.
inline constexpr std::int32_t MaxBuffer = 8192;

struct Options {
    std::int32_t port = 21;
    std::string user;
    std::string password;
    bool passwordOnCommandLine = false; // --password
    std::string passwordFile;
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
    bool version = false; // --version: say which program this is
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

// The session the commands run in (the program's own).
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

using CommandTable = std::vector<CommandSpec>;

struct UsageError {
    std::string message;
};

// The row of the command `name`, or nullptr.
const CommandSpec* findCommand(const CommandTable& table, std::string_view name);

// The --help text.
void printUsage(std::ostream& out, const CommandTable& table);

// Reads the command line into options and invocations; throws UsageError.
// Returns false when --help or --version (options.version) was given.
bool parseCommandLine(int argc, char** argv, const CommandTable& table, Options& options,
                      std::vector<Invocation>& todo);

} // namespace mituftp
