#pragma once

#include "platform/error.h"

#include <gtest/gtest.h>

namespace testing_support {

// Runs `call`, which must raise; returns the error.
template <typename F> platform::Error raised(F&& call) {
    try {
        call();
    } catch (const platform::Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error raised";
    return platform::Error(0, "", "");
}

} // namespace testing_support
