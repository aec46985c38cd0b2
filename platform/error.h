#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

// The error record every component raises: a number, the operation that
// failed ("CSocket.Bind") and a description. Socket-library failures carry
// the library's own code; the program's own errors use plain numbers.
class Error : public std::runtime_error {
public:
    Error(std::int32_t number, std::string source, std::string description)
        : std::runtime_error(description), m_number(number), m_source(std::move(source)),
          m_description(std::move(description)) {}

    std::int32_t number() const noexcept { return m_number; }
    const std::string& source() const noexcept { return m_source; }
    const std::string& description() const noexcept { return m_description; }

    // The same error raised again by an enclosing operation.
    Error withSource(std::string source) const {
        return Error(m_number, std::move(source), m_description);
    }

private:
    std::int32_t m_number;
    std::string m_source;
    std::string m_description;
};

// Numbers and texts of the standard run-time errors the components raise.
namespace errors {
inline constexpr std::int32_t InvalidCall = 5;
inline constexpr std::int32_t Overflow = 6;
inline constexpr std::int32_t SubscriptOutOfRange = 9;
inline constexpr std::int32_t InvalidPropertyValue = 380;

inline constexpr const char* InvalidCallText = "Invalid procedure call or argument";
inline constexpr const char* OverflowText = "Overflow";
inline constexpr const char* SubscriptOutOfRangeText = "Subscript out of range";
inline constexpr const char* InvalidPropertyValueText = "Invalid property value.";
} // namespace errors

inline Error overflowError(std::string source) {
    return Error(errors::Overflow, std::move(source), errors::OverflowText);
}
inline Error invalidCallError(std::string source) {
    return Error(errors::InvalidCall, std::move(source), errors::InvalidCallText);
}

} // namespace platform

namespace platform {

// The one error trap of a public operation: whatever went wrong inside is
// raised again with the operation's own source, same number and text.
// Call from inside a catch block.
[[noreturn]] void rethrowWithSource(const std::string& source);

} // namespace platform
