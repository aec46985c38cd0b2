#pragma once

// One echo request of the connection test on a thread of its own, so that
// the thread that asked keeps handling its events (clicks, repaints) for
// the whole wait instead of blocking in it for up to ten seconds.

#include "checks/connection_test.h"

#include <optional>

namespace ConnectionTest {

// Runs `probe` for `address` on a new thread and waits for its answer,
// handling events meanwhile (`controls.waitForEvents()`). Message boxes
// that the probe raises on its thread are shown on this one, in order,
// while the probe waits for them. The answer and the reply record come
// back as if the probe had run here. Empty when `controls.closed()` turns
// true first: the request is abandoned, its thread ends on its own (within
// the probe's time-out) and nothing of it reaches the caller any more.
std::optional<std::int32_t> RequestAside(const EchoProbe& probe, const std::string& address,
                                         PingMod::EchoReply& reply, Controls& controls);

} // namespace ConnectionTest
