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
     "                       round trips, a rating of the first five, and statistics\n"
     "                       over N counted requests (1-100, default 5) timed to\n"
     "                       fractions of a ms; a failed request says why; more than\n"
     "                       2 % of the counted requests lost fails the check with a\n"
     "                       warning",
     [](const std::vector<std::string>& arguments) { return check::runConnection(arguments); }},
    {"bandwidth",
     "bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR]\n"
     "                       log in to the service's FTP server, download and upload the\n"
     "                       test file, rate both and state their throughput (from the\n"
     "                       first byte to the last byte in, or to the server's\n"
     "                       confirmation of an upload); a failed step says why; the file\n"
     "                       is kept in DIR (default: $XDG_DATA_HOME/mitu, or the\n"
     "                       program's folder in a build tree)",
     check::runBandwidth},
    {"microphone",
     "microphone [--seconds N]\n"
     "                       say \"Speak now\" and record N seconds (1-30, default 3)\n"
     "                       from the default input; peak and RMS level, clipping, and a\n"
     "                       verdict: ok, silent, too_quiet, clipping or unavailable,\n"
     "                       with a warning when one channel is silent (dead_channel)",
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
           "  0   connection: rated Excellent, Good, Fair or Poor, and at most 2 % of\n"
           "      the counted requests lost;\n"
           "      bandwidth: both transfers qualify (Excellent or adequate);\n"
           "      microphone, speakers: ok; all: every check passed\n"
           "  1   connection: \"No Internet Connection\" or \"No Connection or too poor to\n"
           "      use voice-conferencing\", or more than 2 % of the counted requests\n"
           "      lost; bandwidth: a step failed (the cause on standard error) or a\n"
           "      transfer is \"unsuccessful or to poor to qualify\"; microphone: silent,\n"
           "      too_quiet or clipping\n"
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
