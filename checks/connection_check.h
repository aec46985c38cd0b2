#pragma once

// The connection check as mitu-check runs it: the window's test
// (ConnectionTest::Run) on an address looked up once, then more echo
// requests up to a count, every answer timed on a monotonic clock, with
// the statistics, the reasons of the failed requests and the loss warning.

#include "checks/connection_test.h"
#include "checks/reports.h"

#include <functional>
#include <string>

namespace checks {

// A monotonic clock in milliseconds, read around each echo request; empty
// means std::chrono::steady_clock.
using Stopwatch = std::function<double()>;

// Above this share of lost echo requests the connection check fails, whatever
// the rating of the first five.
inline constexpr double MaxLossPercent = 2;

// What the window's boxes showed at the end of the test, and what it told
// the user besides.
struct ConnectionBoxes {
    std::string results;          // Text1: one line per time, CR LF after each
    std::string total;            // Text3
    std::string status;           // Text4: the rating
    std::string failureReason;    // why the first request failed
    std::string echoNotPermitted; // why, when the system refuses echo requests
    bool named = false;           // the address was a name, and it was found
};

// Runs the check on `address` with `count` counted requests (at least the
// window's six go out unless the first fails) and fills `report`. `notice`
// receives what the user should read on the way (a lookup that failed, the
// probe's message boxes). An empty probe sends real echo requests.
ConnectionBoxes measureConnection(const std::string& address, int count,
                                  const ConnectionTest::EchoProbe& probe, ConnectionReport& report,
                                  const Stopwatch& clock,
                                  const std::function<void(const std::string&)>& notice);

// The check passes: a rating that allows voice-conferencing and no more
// than MaxLossPercent lost.
bool connectionPassed(const ConnectionBoxes& boxes, const ConnectionReport& report);

} // namespace checks
