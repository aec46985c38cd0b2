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
     check::runConnection},
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
    out << "\nExit status: 0 the service answered, 1 it did not, 64 usage error.\n";
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
