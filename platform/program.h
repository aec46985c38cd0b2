#pragma once

#include <string>

namespace platform {

// The running program's file name without folder and extension ("mitu").
std::string programName();
// The folder that holds the running program's executable, without a
// trailing separator.
std::string programFolder();

} // namespace platform
