#pragma once

// The subcommands of mitu-check, one row each in one table: each runs one
// of the window's checks without a window. Arguments exclude the program
// and subcommand names; the result is the process exit status (ExitOk ...
// ExitUsage below).

#include "checks/connection_check.h"
#include "cli/check_options.h"
#include "cli/check_report.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace check {

using checks::MaxLossPercent;
using checks::Stopwatch;

// connection: rated Excellent, Good, Fair or Poor, and no more than
// MaxLossPercent of the counted requests lost. bandwidth: both verdicts
// qualify. voice: UDP answers and the call quality is good or better.
inline constexpr int ExitOk = 0;
// connection: "No Internet Connection", too poor for voice-conferencing,
// or more than MaxLossPercent of the requests lost.
// bandwidth: a step failed, or a verdict does not qualify.
// voice: fair or degraded, UDP blocked, or the server's name not found.
inline constexpr int ExitFailed = 1;
// connection: this system permits no echo requests (no ICMP socket).
inline constexpr int ExitEchoNotPermitted = 3;
// A bad command line (as for mitu-ftp).
inline constexpr int ExitUsage = 64;

// What tests put in place of real echo requests and the real clock; empty
// members mean the real ones.
struct Seams {
    ConnectionTest::EchoProbe probe;
    Stopwatch clock;
};

// One subcommand. A check is given its options (the settings as defaults,
// then the command line) and the report to fill, prints its lines when
// `text`, and returns the exit status; a command of its own reads its
// arguments itself.
struct Subcommand {
    const char* name;
    const char* help;  // its entry in --help
    const char* usage; // what follows "usage: mitu-check " on a usage error
    unsigned options;  // the OptionSet it takes
    int (*check)(const Options&, const Seams&, Report&, bool text);
    int (*run)(const Subcommand&, const std::vector<std::string>&);
};

// The table, in the order of --help.
std::span<const Subcommand> subcommands();
// The row of `name`, or nullptr.
const Subcommand* findSubcommand(std::string_view name);

// Runs one row: reads the options, says how to call it when they are
// wrong (ExitUsage), runs the check and, with --json, writes the report.
int runSubcommand(const Subcommand& command, const std::vector<std::string>& arguments,
                  const Seams& seams = {});

// connection [ADDRESS] [--count N] [--json], with the given probe and clock.
int runConnection(const std::vector<std::string>& arguments,
                  const ConnectionTest::EchoProbe& probe = {}, const Stopwatch& clock = {});

// settings [the connection and bandwidth options] [--json]: the service
// settings in effect and where each came from; ExitFailed when a settings
// file or variable holds something that could not be used.
int runSettings(const Subcommand& command, const std::vector<std::string>& arguments);

// The checks themselves: fill the report and, when `text`, print the
// check's lines. The result is the exit status.
int checkConnection(const Options& options, const ConnectionTest::EchoProbe& probe,
                    ConnectionReport& report, bool text, const Stopwatch& clock = {});
int checkBandwidth(const Options& options, BandwidthReport& report, bool text);
// voice: the UDP path answers and the call-quality estimate is good or
// better; otherwise ExitFailed.
int checkVoice(const Options& options, VoiceReport& report, bool text);

} // namespace check
