#pragma once

// mitu-check all: connection, bandwidth, microphone and speakers in turn.

#include "ping/connection_test.h"

#include <string>
#include <vector>

namespace check {

// all [options of each check] [--json]; exit status 0 only when every
// check passed, otherwise the first failing check's. An empty probe sends
// real echo requests.
int runAll(const std::vector<std::string>& arguments, const ConnectionTest::EchoProbe& probe = {});

} // namespace check
