// mitu-check: the utility's checks from a terminal.

#include "cli/check_all.h"
#include "cli/check_commands.h"
#include "cli/check_sound.h"
#include "platform/qt/process_end.h"

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
     "connection [ADDRESS] [--count N]\n"
     "                       echo requests to ADDRESS, an IPv4 or IPv6 address or a host\n"
     "                       name (default: the service's server from the settings),\n"
     "                       round trips, a rating, and statistics over N counted\n"
     "                       requests (1-100, default 5)",
     [](const std::vector<std::string>& arguments) { return check::runConnection(arguments); }},
    {"bandwidth",
     "bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR]\n"
     "                       log in to the service's FTP server, download and upload the\n"
     "                       test file, rate both and state their throughput; the file is\n"
     "                       kept in DIR (default: $XDG_DATA_HOME/mitu, or the program's\n"
     "                       folder in a build tree)",
     check::runBandwidth},
    {"microphone",
     "microphone [--seconds N]\n"
     "                       record N seconds (1-30, default 3) from the default input;\n"
     "                       peak and RMS level, clipping, and a verdict: ok, silent,\n"
     "                       clipping or unavailable",
     check::runMicrophone},
    {"speakers",
     "speakers             play the built-in sample and speak the test sentence on the\n"
     "                       default output; a verdict: ok or unavailable (and why)",
     check::runSpeakers},
    {"settings",
     "settings [the connection and bandwidth options]\n"
     "                       the service settings in effect and where each came from:\n"
     "                       built-in, a settings file and line, a MITU_* variable or\n"
     "                       the command line (see the manual page)",
     check::runSettings},
    {"all",
     "all [--address ADDRESS] [the options above]\n"
     "                       connection, bandwidth, microphone and speakers in turn",
     [](const std::vector<std::string>& arguments) { return check::runAll(arguments); }},
};

void printUsage(std::ostream& out) {
    out << "usage: mitu-check COMMAND [ARGUMENTS] [--json]\n"
           "       mitu-check --help | --version\n\ncommands:\n";
    for (const Command& command : kCommands)
        out << "  " << command.usage << '\n';
    out << "\n--json writes one JSON object instead of the text (see the manual page).\n";
    out << "\nexit status:\n"
           "  0   connection: rated Excellent, Good, Fair or Poor;\n"
           "      bandwidth: both transfers qualify (Excellent or adequate);\n"
           "      microphone, speakers: ok; all: every check passed\n"
           "  1   connection: \"No Internet Connection\" or \"No Connection or too poor to\n"
           "      use voice-conferencing\"; bandwidth: a step failed (the cause on\n"
           "      standard error) or a transfer is \"unsuccessful or to poor to qualify\";\n"
           "      microphone: silent or clipping\n"
           "      settings: a settings file or variable holds what could not be used\n"
           "  3   connection: this system does not permit echo requests for this user\n"
           "  4   microphone, speakers: unavailable (no device, the sound server refused,\n"
           "      or no speech engine)\n"
           "  all exits with the first failing check's status\n"
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
    if (name == "--version") {
        std::cout << "mitu-check " << MITU_VERSION << '\n';
        return 0;
    }
    for (const Command& command : kCommands)
        if (name == command.name)
            platform::qt::endProcess(command.run(std::vector<std::string>(argv + 2, argv + argc)));
    std::cerr << "mitu-check: unknown command \"" << name << "\"\n";
    printUsage(std::cerr);
    return check::ExitUsage;
}
