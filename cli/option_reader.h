#pragma once

// The option reader the command-line tools share: each tool describes its
// options in a table (a flag, an option with a text, or one with a number
// in a range) and reads its command line one option at a time against it,
// saying in its own words what was wrong.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cli {

// One row: the option's name and what it does. Exactly one action is set.
struct Option {
    std::string name;
    std::function<void()> flag;                   // takes no value
    std::function<void(const std::string&)> text; // takes any value
    std::function<void(std::int32_t)> number;     // takes a number from low to high
    std::int32_t low = 0, high = 0;
};

Option flagOption(std::string name, std::function<void()> apply);
Option textOption(std::string name, std::function<void(const std::string&)> apply);
Option numberOption(std::string name, std::int32_t low, std::int32_t high,
                    std::function<void(std::int32_t)> apply);

// What was wrong with an option.
struct OptionProblem {
    enum class Kind {
        Unknown, // no row has its name
        NoValue, // it takes a value and none follows
        Range,   // its value is not a number from low to high
    } kind;
    const Option* row = nullptr; // NoValue, Range
    std::string option;          // as given
    std::string value;           // Range: the value given
};

// Reads the option at arguments[index] and, where its row takes one, the
// value after it, and applies it; `index` is left on the last argument
// read. Empty on success.
std::optional<OptionProblem> readOption(std::span<const Option> table,
                                        const std::vector<std::string>& arguments,
                                        std::size_t& index);

} // namespace cli
