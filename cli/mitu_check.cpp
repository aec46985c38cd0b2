// mitu-check: the utility's checks from a terminal.

#include "cli/check_commands.h"
#include "platform/qt/process_end.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

void printUsage(std::ostream& out) {
    out << "usage: mitu-check COMMAND [ARGUMENTS] [--json]\n"
           "       mitu-check --help | --version\n\ncommands:\n";
    for (const check::Subcommand& command : check::subcommands())
        out << "  " << command.help << '\n';
    out << "\n--json writes one JSON object instead of the text (see the manual page).\n";
    out << "\nexit status:\n"
           "  0   connection: rated Excellent, Good, Fair or Poor, and at most 2 % of\n"
           "      the counted requests lost;\n"
           "      bandwidth: both transfers qualify (Excellent or adequate);\n"
           "      voice: UDP answers and the call quality is good or better;\n"
           "      microphone, speakers: ok; all: every check passed\n"
           "  1   connection: \"No Internet Connection\" or \"No Connection or too poor to\n"
           "      use voice-conferencing\", or more than 2 % of the counted requests\n"
           "      lost; bandwidth: a step failed (the cause on standard error) or a\n"
           "      transfer is \"unsuccessful or to poor to qualify\"; microphone: silent,\n"
           "      too_quiet or clipping; voice: fair or degraded, UDP blocked, or the\n"
           "      server's name not found\n"
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
    if (const check::Subcommand* command = check::findSubcommand(name))
        platform::qt::endProcess(
            check::runSubcommand(*command, std::vector<std::string>(argv + 2, argv + argc)));
    std::cerr << "mitu-check: unknown command \"" << name << "\"\n";
    printUsage(std::cerr);
    return check::ExitUsage;
}
