#pragma once

// mitu-check all: connection, bandwidth, microphone and speakers in turn.

#include "cli/check_commands.h"

namespace check {

// Fills every member of the report; the exit status is 0 only when every
// check passed, otherwise the first failing check's.
int checkAll(const Options& options, const Seams& seams, Report& report, bool text);

} // namespace check
