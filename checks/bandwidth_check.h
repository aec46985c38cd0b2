#pragma once

// The bandwidth check as mitu-check runs it: the window's click
// (BandwidthTest::Test) once, its clocks on the program's event loop, and
// the verdicts, figures and failure it leaves.

#include "checks/bandwidth_test.h"
#include "checks/reports.h"

#include <string>
#include <vector>

namespace checks {

// Runs the test with `settings` over `controls` and fills `report`; the
// verdict lines of the result box, in order. `report.error` is set when a
// step failed (`controls` was shown the window's message then).
std::vector<std::string> measureBandwidth(const BandwidthTest::Settings& settings,
                                          BandwidthTest::Controls& controls,
                                          BandwidthReport& report);

// Every verdict qualifies and no step failed.
bool bandwidthPassed(const std::vector<std::string>& verdicts, const BandwidthReport& report);

} // namespace checks
