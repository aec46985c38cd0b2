#pragma once

// The timer service's own error numbers and their texts. Bad arguments and
// values too large for a timer are the standard run-time errors of
// platform/error.h.

#include <cstdint>

namespace timer::errors {

// No hidden window for the timers (source "MTimeOutSupport.CreateTimer").
inline constexpr std::int32_t CreateTimerFailed = 17001;
inline constexpr const char* CreateTimerFailedText = "Cannot create the timer window.";

// The loop refused a timer (source "MTimeOutSupport.RegisterTimer").
inline constexpr std::int32_t RegisterTimerFailed = 17002;
inline constexpr const char* RegisterTimerFailedText = "Cannot create the timer";

} // namespace timer::errors
