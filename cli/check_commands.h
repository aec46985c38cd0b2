#pragma once

// The subcommands of mitu-check: each runs one of the window's checks
// without a window. Arguments exclude the program and subcommand names;
// the result is the process exit status (ExitOk ... ExitUsage below).

#include "ping/connection_test.h"

#include <string>
#include <vector>

namespace check {

// connection: rated Excellent, Good, Fair or Poor. bandwidth: both
// verdicts qualify.
inline constexpr int ExitOk = 0;
// connection: "No Internet Connection" or too poor for voice-conferencing.
// bandwidth: a step failed, or a verdict does not qualify.
inline constexpr int ExitFailed = 1;
// connection: this system permits no echo requests (no ICMP socket).
inline constexpr int ExitEchoNotPermitted = 3;
// A bad command line (as for mitu-ftp).
inline constexpr int ExitUsage = 64;

// connection [ADDRESS]; an empty probe sends real echo requests.
int runConnection(const std::vector<std::string>& arguments,
                  const ConnectionTest::EchoProbe& probe = {});

// bandwidth [--server HOST] [--port N] [--user NAME] [--password TEXT] [--folder DIR]
int runBandwidth(const std::vector<std::string>& arguments);

} // namespace check
