#include "timer/timeout.h"

#include "platform/error.h"
#include "support/loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using platform::Clock;
using testing_support::runFor;
using testing_support::runUntil;

namespace {

// Seconds since `start` at each tick of `t`.
struct TickLog {
    Clock::time_point start = Clock::now();
    std::vector<double> at;
    void attach(const std::shared_ptr<CTimeout>& t) {
        t->TimeOut.subscribe(
            [this] { at.push_back(std::chrono::duration<double>(Clock::now() - start).count()); });
    }
};

} // namespace

TEST(CTimeoutTicks, RepeatsEveryPeriodUntilStopped) {
    auto t = CTimeout::create();
    TickLog log;
    log.attach(t);
    t->setTimeOutValue(1);
    t->StartTimer();
    ASSERT_TRUE(runUntil([&] { return log.at.size() == 3; }, 4.5));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(log.at[i], 1.0 * (i + 1), 0.25) << i;
    t->StopTimer();
    runFor(1.3);
    EXPECT_EQ(log.at.size(), 3u);
}

TEST(CTimeoutTicks, SecondStartRestartsTheCountdown) {
    auto t = CTimeout::create();
    TickLog log;
    log.attach(t);
    t->setTimeOutValue(1);
    t->StartTimer();
    runFor(0.6);
    t->StartTimer(); // countdown begins again: first tick near 1.6 s, not 1.0 s
    ASSERT_TRUE(runUntil([&] { return !log.at.empty(); }, 3));
    EXPECT_NEAR(log.at[0], 1.6, 0.2);
}

TEST(CTimeoutTicks, StopThenStartResumesAfterAFullPeriod) {
    auto t = CTimeout::create();
    TickLog log;
    log.attach(t);
    t->StopTimer(); // before any start: nothing
    t->setTimeOutValue(1);
    t->StartTimer();
    runFor(0.5);
    t->StopTimer();
    t->StopTimer();
    runFor(0.7);
    EXPECT_TRUE(log.at.empty());
    auto restarted = Clock::now();
    t->StartTimer();
    ASSERT_TRUE(runUntil([&] { return !log.at.empty(); }, 3));
    double since = log.at[0] - std::chrono::duration<double>(restarted - log.start).count();
    EXPECT_NEAR(since, 1.0, 0.2);
}

TEST(CTimeoutTicks, ResetRearmsAndAHandlerMayStopItsOwnTimer) {
    auto t = CTimeout::create();
    int ticks = 0;
    t->TimeOut.subscribe([&] {
        ++ticks;
        t->StopTimer(); // a single shot
    });
    t->Reset(); // never started: nothing to re-arm
    t->setTimeOutValue(1);
    t->StartTimer();
    runFor(0.5);
    t->Reset();
    runFor(0.8); // 1.3 s after the start, 0.8 s after the reset
    EXPECT_EQ(ticks, 0);
    ASSERT_TRUE(runUntil([&] { return ticks == 1; }, 2));
    runFor(1.2);
    EXPECT_EQ(ticks, 1);
}

TEST(CTimeoutTicks, ResetByAnotherTickInTheSamePassWaitsAFullPeriod) {
    auto a = CTimeout::create();
    auto b = CTimeout::create();
    int ticks = 0;
    a->TimeOut.subscribe([&] {
        ++ticks;
        b->Reset();
    });
    b->TimeOut.subscribe([&] {
        ++ticks;
        a->Reset();
    });
    a->setTimeOutValue(1);
    b->setTimeOutValue(1);
    a->StartTimer();
    b->StartTimer();
    // Both are due when the loop next looks: the first tick resets the other.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    runFor(0.5);
    EXPECT_EQ(ticks, 1);
}

TEST(CTimeoutPeriods, ZeroNegativeAndOverflowingPeriods) {
    auto t = CTimeout::create();
    int ticks = 0;
    t->TimeOut.subscribe([&] { ++ticks; });
    EXPECT_EQ(t->TimeOutValue(), 0);
    t->StartTimer();
    t->setTimeOutValue(-5);
    t->StartTimer();
    runFor(0.2);
    EXPECT_EQ(ticks, 0);

    t->setTimeOutValue(2147484);
    try {
        t->StartTimer();
        FAIL() << "no overflow";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 6);
    }
    // Once a timer identifier is held, the same value does nothing at all.
    t->setTimeOutValue(1);
    t->StartTimer();
    t->setTimeOutValue(2147484);
    EXPECT_NO_THROW(t->StartTimer());
    EXPECT_NO_THROW(t->Reset());
    ASSERT_TRUE(runUntil([&] { return ticks == 1; }, 2)); // still the 1-second timer
}

TEST(CTimeoutLifetime, EndingOneLeavesTheOtherTicking) {
    auto a = CTimeout::create();
    auto b = CTimeout::create();
    int aTicks = 0, bTicks = 0;
    a->TimeOut.subscribe([&] { ++aTicks; });
    b->TimeOut.subscribe([&] { ++bTicks; });
    a->setTimeOutValue(1);
    b->setTimeOutValue(1);
    a->StartTimer();
    b->StartTimer();
    a.reset();
    ASSERT_TRUE(runUntil([&] { return bTicks == 2; }, 3));
    EXPECT_EQ(aTicks, 0);
    EXPECT_NE(MTimeOutSupport::TimerWindow(), 0u);
    b.reset();
    EXPECT_EQ(MTimeOutSupport::TimerWindow(), 0u);
    EXPECT_EQ(MTimeOutSupport::LiveTimeouts(), 0u);
}

TEST(CTimeoutLifetime, ReleasedInsideItsOwnTick) {
    auto t = CTimeout::create();
    std::weak_ptr<CTimeout> weak = t;
    int ticks = 0;
    t->TimeOut.subscribe([&] {
        ++ticks;
        t.reset(); // the only reference
    });
    t->setTimeOutValue(1);
    t->StartTimer();
    ASSERT_TRUE(runUntil([&] { return ticks == 1; }, 2));
    EXPECT_TRUE(weak.expired());
    runFor(1.2);
    EXPECT_EQ(ticks, 1);
}

TEST(CTimeoutLifetime, HandlerErrorsAreSwallowed) {
    auto t = CTimeout::create();
    int ticks = 0;
    t->TimeOut.subscribe([&] {
        ++ticks;
        throw platform::Error(1, "test", "handler failed");
    });
    t->setTimeOutValue(1);
    t->StartTimer();
    // Called as the loop calls it: the loop's own guard would hide an escape.
    EXPECT_NO_THROW(
        MTimeOutSupport::TimerProc(MTimeOutSupport::TimerWindow(), t->timerIdentifier()));
    EXPECT_EQ(ticks, 1);
    ASSERT_TRUE(runUntil([&] { return ticks == 2; }, 3)); // and it goes on ticking
}

TEST(CTimeoutLifetime, WindowThatCannotBeMadeFailsConstruction) {
    platform::EventLoop::instance().failWindowCreation(1);
    try {
        CTimeout::create();
        FAIL() << "constructed";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 17001);
        EXPECT_EQ(e.source(), "MTimeOutSupport.CreateTimer");
        EXPECT_EQ(e.description(), "Cannot create the timer window.");
    }
    EXPECT_EQ(MTimeOutSupport::TimerWindow(), 0u);
    EXPECT_NO_THROW(CTimeout::create());
}
