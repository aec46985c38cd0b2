#pragma once

// What the service settings need of a settings-file reader: the values one
// section of an INI file sets. The reader itself is the window toolkit's
// (platform/qt/settings_file.h); tests may hand in their own.

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {

// One value as the reader understood it: plain text, a list (the file gave
// an unquoted comma), or anything else the format can hold.
struct SettingsFileValue {
    enum class Kind { Text, List, Other };
    Kind kind = Kind::Text;
    std::string text; // the value of Kind::Text
};

// The values that [section] of the INI file `path` sets for `keys`, by key;
// a key the section does not set is absent. Called for a file that exists.
using SettingsFileReader = std::function<std::map<std::string, SettingsFileValue>(
    const std::string& path, const std::string& section, const std::vector<std::string>& keys)>;

} // namespace platform
