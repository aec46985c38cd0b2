#pragma once

#include "platform/event_loop.h"

#include <chrono>
#include <functional>

namespace testing_support {

// Runs the event loop until `done()` or until `seconds` have passed.
inline bool runUntil(const std::function<bool()>& done, double seconds = 5.0) {
    auto deadline = platform::Clock::now() + std::chrono::duration_cast<platform::Clock::duration>(
                                                 std::chrono::duration<double>(seconds));
    return platform::EventLoop::instance().runUntil(done, deadline);
}

// Runs the event loop for `seconds`, whatever happens.
inline void runFor(double seconds) {
    runUntil([] { return false; }, seconds);
}

} // namespace testing_support
