#pragma once

#include <string>

namespace platform {

// The running program's file name without folder and extension ("mitu").
std::string programName();
// The folder that holds the running program's executable, without a
// trailing separator.
std::string programFolder();

// The file the build writes beside the programs it builds: a folder that
// holds it is a build tree.
inline constexpr const char* BuildTreeMarker = "mitu-build-tree";

// The folder for the files the program keeps for itself (the bandwidth
// test's local copy of its test file): the program's folder when the
// program runs from a build tree (BuildTreeMarker beside it), else always
// the user's data folder "$XDG_DATA_HOME/mitu" ("~/.local/share/mitu" when
// the variable is unset, empty or relative), created on demand; for root
// too, who may write anywhere, an installed program's folder included.
std::string localFileFolder();

// The rule above with its inputs given: `xdgDataHome` and `home` are the
// environment's values (nullptr when unset). Falls back to the program's
// folder when no home folder can be found at all. Creates the data folder
// when it is chosen and missing.
std::string localFileFolderFor(const std::string& programFolder, const char* xdgDataHome,
                               const char* home);

} // namespace platform
