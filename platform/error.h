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
// The socket library's codes are in platform/winsock.h, the ICMP library's
// in platform/icmp.h; each component keeps its own numbers in a header of
// its own (net/socket_errors.h, timer/timer_errors.h, ftp/ftp_errors.h).
namespace errors {
inline constexpr std::int32_t InvalidCall = 5;
inline constexpr std::int32_t Overflow = 6;
inline constexpr std::int32_t OutOfMemory = 7;
inline constexpr std::int32_t SubscriptOutOfRange = 9;
inline constexpr std::int32_t InternalError = 51;
inline constexpr std::int32_t FileNotFound = 53;
inline constexpr std::int32_t DeviceIoError = 57;
inline constexpr std::int32_t PathFileAccessError = 75;
inline constexpr std::int32_t InvalidPropertyValue = 380;
inline constexpr std::int32_t DuplicateKey = 457;

inline constexpr const char* InvalidCallText = "Invalid procedure call or argument";
inline constexpr const char* OverflowText = "Overflow";
inline constexpr const char* OutOfMemoryText = "Out of memory";
inline constexpr const char* SubscriptOutOfRangeText = "Subscript out of range";
// Followed by ": " and the exception's reason when it gives one.
inline constexpr const char* InternalErrorText = "Internal error";
inline constexpr const char* InvalidPropertyValueText = "Invalid property value.";
inline constexpr const char* DuplicateKeyText =
    "This key is already associated with an element of this collection";
} // namespace errors

inline Error overflowError(std::string source) {
    return Error(errors::Overflow, std::move(source), errors::OverflowText);
}
inline Error invalidCallError(std::string source) {
    return Error(errors::InvalidCall, std::move(source), errors::InvalidCallText);
}

// The error record of the exception being handled, the one mapping from
// exceptions to errors: an Error as it is; running out of memory as 7 "Out
// of memory"; any other exception as 51 "Internal error", with its reason
// after ": " when it has one. `source` is the source of the last two.
// Call from inside a catch block.
Error currentError(const std::string& source = std::string());

// The one error trap of a public operation: whatever went wrong inside is
// raised again with the operation's own source, same number and text.
// Call from inside a catch block.
[[noreturn]] void rethrowWithSource(const std::string& source);

} // namespace platform
