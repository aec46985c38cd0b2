#pragma once

// The subcommands of mitu-check: each runs one of the window's checks
// without a window. Arguments exclude the program and subcommand names;
// the result is the process exit status (ExitOk ... ExitUsage below).

#include "cli/check_options.h"
#include "cli/check_report.h"
#include "ping/connection_test.h"

#include <functional>
#include <string>
#include <vector>

namespace check {

// A monotonic clock in milliseconds, read around each echo request; empty
// means std::chrono::steady_clock.
using Stopwatch = std::function<double()>;

// Above this share of lost echo requests the connection check fails, whatever
// the rating of the first five.
inline constexpr double MaxLossPercent = 2;

// connection: rated Excellent, Good, Fair or Poor, and no more than
// MaxLossPercent of the counted requests lost. bandwidth: both verdicts
// qualify.
inline constexpr int ExitOk = 0;
// connection: "No Internet Connection", too poor for voice-conferencing,
// or more than MaxLossPercent of the requests lost.
// bandwidth: a step failed, or a verdict does not qualify.
inline constexpr int ExitFailed = 1;
// connection: this system permits no echo requests (no ICMP socket).
inline constexpr int ExitEchoNotPermitted = 3;
// A bad command line (as for mitu-ftp).
inline constexpr int ExitUsage = 64;

// connection [ADDRESS] [--count N] [--json]; an empty probe sends real echo
// requests.
int runConnection(const std::vector<std::string>& arguments,
                  const ConnectionTest::EchoProbe& probe = {}, const Stopwatch& clock = {});

// bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR]
// [--json]
int runBandwidth(const std::vector<std::string>& arguments);

// settings [the connection and bandwidth options] [--json]: the service
// settings in effect and where each came from; ExitFailed when a settings
// file or variable holds something that could not be used.
int runSettings(const std::vector<std::string>& arguments);

// The checks themselves: fill the report and, when `text`, print the
// check's lines. The result is the exit status.
int checkConnection(const Options& options, const ConnectionTest::EchoProbe& probe,
                    ConnectionReport& report, bool text, const Stopwatch& clock = {});
int checkBandwidth(const Options& options, BandwidthReport& report, bool text);

} // namespace check
