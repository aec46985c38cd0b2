#include "cli/option_reader.h"

#include <charconv>

namespace cli {

Option flagOption(std::string name, std::function<void()> apply) {
    Option option;
    option.name = std::move(name);
    option.flag = std::move(apply);
    return option;
}

Option textOption(std::string name, std::function<void(const std::string&)> apply) {
    Option option;
    option.name = std::move(name);
    option.text = std::move(apply);
    return option;
}

Option numberOption(std::string name, std::int32_t low, std::int32_t high,
                    std::function<void(std::int32_t)> apply) {
    Option option;
    option.name = std::move(name);
    option.number = std::move(apply);
    option.low = low;
    option.high = high;
    return option;
}

std::optional<OptionProblem> readOption(std::span<const Option> table,
                                        const std::vector<std::string>& arguments,
                                        std::size_t& index) {
    using Kind = OptionProblem::Kind;
    const std::string& given = arguments.at(index);
    const Option* row = nullptr;
    for (const Option& option : table)
        if (option.name == given)
            row = &option;
    if (!row)
        return OptionProblem{Kind::Unknown, nullptr, given, {}};
    if (row->flag) {
        row->flag();
        return std::nullopt;
    }
    if (index + 1 >= arguments.size())
        return OptionProblem{Kind::NoValue, row, given, {}};
    const std::string& value = arguments[++index];
    if (row->text) {
        row->text(value);
        return std::nullopt;
    }
    std::int32_t parsed = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (error != std::errc() || end != value.data() + value.size() || parsed < row->low ||
        parsed > row->high)
        return OptionProblem{Kind::Range, row, given, value};
    row->number(parsed);
    return std::nullopt;
}

} // namespace cli
