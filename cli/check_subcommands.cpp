// mitu-check's subcommands: the table and the one way a check is run.

#include "cli/check_all.h"
#include "cli/check_commands.h"
#include "cli/check_json.h"
#include "cli/check_sound.h"

#include <iostream>

namespace check {

namespace {

const Subcommand Table[] = {
    {"connection",
     "connection [ADDRESS] [--count N]\n"
     "                       echo requests to ADDRESS, an IPv4 or IPv6 address or a host\n"
     "                       name (default: the service's server from the settings),\n"
     "                       round trips, a rating of the first five, and statistics\n"
     "                       over N counted requests (1-100, default 5) timed to\n"
     "                       fractions of a ms; a failed request says why; more than\n"
     "                       2 % of the counted requests lost fails the check with a\n"
     "                       warning",
     "connection [ADDRESS] [--count N] [--json]", ConnectionOptions,
     [](const Options& options, const Seams& seams, Report& report, bool text) {
         return checkConnection(options, seams.probe, report.connection.emplace(), text,
                                seams.clock);
     },
     nullptr},
    {"voice",
     "voice [--server HOST[:PORT]] [--count N] [--interval MS]\n"
     "                       N STUN Binding requests (1-1000, default 50), one every MS\n"
     "                       (10-1000, default 20), to the service's STUN server (port\n"
     "                       3478 unless given): UDP reachable, the mapped address and\n"
     "                       NAT, round trips, jitter, loss and late answers, and a\n"
     "                       call-quality estimate (E-model MOS); without a UDP answer,\n"
     "                       one Binding over TCP says whether TCP reaches the server",
     "voice [--server HOST[:PORT]] [--count N] [--interval MS] [--json]", VoiceOptions,
     [](const Options& options, const Seams&, Report& report, bool text) {
         return checkVoice(options, report.voice.emplace(), text);
     },
     nullptr},
    {"bandwidth",
     "bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR]\n"
     "                       log in to the service's FTP server, download and upload the\n"
     "                       test file, rate both and state their throughput (from the\n"
     "                       first byte to the last byte in, or to the server's\n"
     "                       confirmation of an upload); a failed step says why; the file\n"
     "                       is kept in DIR (default: $XDG_DATA_HOME/mitu, or the\n"
     "                       program's folder in a build tree)",
     "bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR] "
     "[--json]",
     BandwidthOptions,
     [](const Options& options, const Seams&, Report& report, bool text) {
         return checkBandwidth(options, report.bandwidth.emplace(), text);
     },
     nullptr},
    {"microphone",
     "microphone [--seconds N]\n"
     "                       say \"Speak now\" and record N seconds (1-30, default 3)\n"
     "                       from the default input; peak and RMS level, clipping, and a\n"
     "                       verdict: ok, silent, too_quiet, clipping or unavailable,\n"
     "                       with a warning when one channel is silent (dead_channel)",
     "microphone [--seconds N] [--json]", MicrophoneOptions,
     [](const Options& options, const Seams&, Report& report, bool text) {
         return checkMicrophone(options, report.microphone.emplace(), text);
     },
     nullptr},
    {"speakers",
     "speakers             play the built-in sample and speak the test sentence on the\n"
     "                       default output; a verdict: ok or unavailable (and why)",
     "speakers [--json]", SpeakerOptions,
     [](const Options& options, const Seams&, Report& report, bool text) {
         return checkSpeakers(options, report.speakers.emplace(), text);
     },
     nullptr},
    {"settings",
     "settings [the connection and bandwidth options]\n"
     "                       the service settings in effect and where each came from:\n"
     "                       built-in, a settings file and line, a MITU_* variable or\n"
     "                       the command line (see the manual page)",
     "settings [ADDRESS] [--address ADDRESS] [--server HOST] [--port N] [--user NAME] "
     "[--password TEXT] [--json]",
     ConnectionOptions | BandwidthOptions, nullptr, runSettings},
    {"all",
     "all [--address ADDRESS] [the options above]\n"
     "                       connection, voice, bandwidth, microphone and speakers in\n"
     "                       turn; --stun-server HOST[:PORT] is voice's --server",
     "all [--address ADDRESS] [--count N] [--stun-server HOST[:PORT]] [--interval MS] "
     "[--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR] [--seconds N] "
     "[--json]",
     ConnectionOptions | VoiceOptions | BandwidthOptions | MicrophoneOptions | SpeakerOptions,
     checkAll, nullptr},
};

} // namespace

std::span<const Subcommand> subcommands() {
    return Table;
}

const Subcommand* findSubcommand(std::string_view name) {
    for (const Subcommand& command : Table)
        if (name == command.name)
            return &command;
    return nullptr;
}

int runSubcommand(const Subcommand& command, const std::vector<std::string>& arguments,
                  const Seams& seams) {
    if (command.run)
        return command.run(command, arguments);
    Options options = defaultOptions();
    if (!parseOptions(arguments, command.options, options)) {
        std::cerr << "usage: mitu-check " << command.usage << '\n';
        return ExitUsage;
    }
    Report report;
    const int status = command.check(options, seams, report, !options.json);
    if (options.json)
        writeJson(std::cout, report, status == ExitOk);
    return status;
}

int runConnection(const std::vector<std::string>& arguments, const ConnectionTest::EchoProbe& probe,
                  const Stopwatch& clock) {
    return runSubcommand(*findSubcommand("connection"), arguments, Seams{probe, clock});
}

} // namespace check
