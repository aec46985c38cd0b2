#pragma once

// The subcommands of mitu-check: each runs one of the window's checks
// without a window. Arguments exclude the program and subcommand names;
// the result is the process exit status: 0 when the check ran and the
// service answered, 1 when it did not, 64 for a bad command line (as for
// mitu-ftp).

#include <string>
#include <vector>

namespace check {

inline constexpr int ExitUsage = 64;

// connection [ADDRESS]
int runConnection(const std::vector<std::string>& arguments);

} // namespace check
