// mitu-check: the utility's checks from a terminal.

#include "cli/check_commands.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

struct Command {
    const char* name;
    const char* usage;
    int (*run)(const std::vector<std::string>&);
};

const Command kCommands[] = {
    {"connection",
     "connection [ADDRESS]  echo requests to ADDRESS (default: the service's "
     "server, or MITU_PING_ADDRESS), round trips and a rating",
     [](const std::vector<std::string>& arguments) { return check::runConnection(arguments); }},
    {"bandwidth",
     "bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR]\n"
     "                       log in to the service's FTP server, download and upload the\n"
     "                       test file, rate both; the file is kept in DIR (default: the\n"
     "                       program's folder, or $XDG_DATA_HOME/mitu where that is not\n"
     "                       writable)",
     check::runBandwidth},
};

void printUsage(std::ostream& out) {
    out << "usage: mitu-check COMMAND [ARGUMENTS]\n\ncommands:\n";
    for (const Command& command : kCommands)
        out << "  " << command.usage << '\n';
    out << "\nexit status:\n"
           "  0   connection: rated Excellent, Good, Fair or Poor;\n"
           "      bandwidth: both transfers qualify (Excellent or adequate)\n"
           "  1   connection: \"No Internet Connection\" or \"No Connection or too poor to\n"
           "      use voice-conferencing\"; bandwidth: a step failed (the cause on\n"
           "      standard error) or a transfer is \"unsuccessful or to poor to qualify\"\n"
           "  3   connection: this system does not permit echo requests for this user\n"
           "  64  usage error\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(std::cerr);
        return check::ExitUsage;
    }
    std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        printUsage(std::cout);
        return 0;
    }
    for (const Command& command : kCommands)
        if (name == command.name)
            return command.run(std::vector<std::string>(argv + 2, argv + argc));
    std::cerr << "mitu-check: unknown command \"" << name << "\"\n";
    printUsage(std::cerr);
    return check::ExitUsage;
}
