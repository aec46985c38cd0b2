#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <gtest/gtest.h>

#include <string>

// A test that needs a display or a sound server skips without it on a
// developer's machine, but fails in CI (CI is set there), where
// scripts/services.sh must have started both.
#define MITU_NEEDS_SERVICE(reason)                                                                 \
    do {                                                                                           \
        const std::string why_ = (reason);                                                         \
        if (!qEnvironmentVariableIsEmpty("CI"))                                                    \
            FAIL() << why_ << " (required in CI)";                                                 \
        GTEST_SKIP() << why_;                                                                      \
    } while (false)
