#include "platform/error.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

namespace {

struct Thrown {
    const char* name;
    std::function<void()> raise;
    std::int32_t number;
    const char* source; // of the record made where it was caught
    const char* description;
};

} // namespace

// Whatever is thrown becomes one record; the trap of a public operation
// keeps its number and text and gives it the operation's source.
TEST(ErrorMapping, EveryExceptionBecomesARecord) {
    const Thrown rows[] = {
        {"record", [] { throw platform::Error(10061, "CSocket.Inner", "Connection refused."); },
         10061, "CSocket.Inner", "Connection refused."},
        {"no memory", [] { throw std::bad_alloc(); }, 7, "Op.Caught", "Out of memory"},
        {"standard", [] { throw std::runtime_error("bad state"); }, 51, "Op.Caught",
         "Internal error: bad state"},
        {"other", [] { throw 42; }, 51, "Op.Caught", "Internal error"},
    };
    for (const Thrown& row : rows) {
        try {
            row.raise();
        } catch (...) {
            const platform::Error e = platform::currentError("Op.Caught");
            EXPECT_EQ(e.number(), row.number) << row.name;
            EXPECT_EQ(e.source(), row.source) << row.name;
            EXPECT_EQ(e.description(), row.description) << row.name;
        }
        try {
            try {
                row.raise();
            } catch (...) {
                platform::rethrowWithSource("Op.Public");
            }
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.number(), row.number) << row.name;
            EXPECT_EQ(e.source(), "Op.Public") << row.name;
            EXPECT_EQ(e.description(), row.description) << row.name;
        } catch (...) {
            ADD_FAILURE() << row.name << ": not raised as an error record";
        }
    }
}
