#pragma once

// The subcommands of mitu-check: each runs one of the window's checks
// without a window. Arguments exclude the program and subcommand names;
// the result is the process exit status.

#include <string>
#include <vector>

namespace check {

// connection [ADDRESS]
int runConnection(const std::vector<std::string>& arguments);

} // namespace check
