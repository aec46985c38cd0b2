#pragma once

// Settings files read by QSettings, in its INI format (quoting, escapes and
// lists as Qt's programs write them).

#include "platform/settings_file.h"

namespace platform::qt {

// A platform::SettingsFileReader.
std::map<std::string, SettingsFileValue> readSettingsFile(const std::string& path,
                                                          const std::string& section,
                                                          const std::vector<std::string>& keys);

} // namespace platform::qt
