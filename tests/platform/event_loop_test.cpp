#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::Clock;
using platform::EventLoop;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST(EventLoopMessages, DeliveredInOrderAndDroppedWithTheirWindow) {
    EventLoop loop;
    std::vector<std::intptr_t> seen;
    auto window =
        loop.createWindow("W", [&](platform::WindowHandle, platform::MessageId, std::intptr_t w,
                                   std::intptr_t) { seen.push_back(w); });
    for (int i = 0; i < 5; ++i)
        loop.postMessage(window, 1, i, 0);
    loop.processPendingEvents();
    EXPECT_EQ(seen, (std::vector<std::intptr_t>{0, 1, 2, 3, 4}));

    loop.postMessage(window, 1, 9, 0);
    loop.destroyWindow(window);
    loop.processPendingEvents();
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_FALSE(loop.postMessage(window, 1, 1, 0));
}

TEST(EventLoopMessages, RegisteredNamesGiveStableNumbers) {
    EventLoop loop;
    auto a = loop.registerMessage("x.WinsockMessage");
    auto b = loop.registerMessage("x.ResolveMessage");
    EXPECT_NE(a, b);
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(loop.registerMessage("x.WinsockMessage"), a);
}

TEST(EventLoopMessages, HandlerThatKeepsPostingDoesNotStarveTheLoop) {
    EventLoop loop;
    int count = 0;
    platform::WindowHandle window = 0;
    window = loop.createWindow(
        "W", [&](platform::WindowHandle, platform::MessageId, std::intptr_t, std::intptr_t) {
            ++count;
            loop.postMessage(window, 1, 0, 0);
        });
    loop.postMessage(window, 1, 0, 0);
    loop.processPendingEvents(); // one pass handles what was queued, then returns
    EXPECT_EQ(count, 1);
    loop.processPendingEvents();
    EXPECT_EQ(count, 2);
}

TEST(EventLoopMessages, PostsInsideAPassWriteNoWakeUpButLeaveTheDescriptorReadable) {
    EventLoop loop;
    int left = 20;
    platform::WindowHandle window = 0;
    window = loop.createWindow(
        "W", [&](platform::WindowHandle, platform::MessageId, std::intptr_t, std::intptr_t) {
            if (--left > 0)
                loop.postMessage(window, 1, 0, 0);
        });
    auto readable = [&] {
        pollfd p{loop.fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    loop.postMessage(window, 1, 0, 0); // outside a pass: one write
    const auto before = loop.systemCalls();
    while (left > 0) {
        loop.processPendingEvents();
        EXPECT_EQ(readable(), left > 0); // a toolkit watching fd() comes back for the rest
    }
    const auto after = loop.systemCalls();
    EXPECT_EQ(after.wakeWrites, before.wakeWrites);
    EXPECT_EQ(after.counterReads - before.counterReads, 1u); // once, when nothing is left
    EXPECT_EQ(after.waits - before.waits, 20u);              // one check per pass
}

TEST(EventLoopMessages, FollowUpsGoOutInTheSamePassWithinTheirBound) {
    EventLoop loop;
    loop.setFollowUpTime(std::chrono::hours(1)); // counted steps, whatever the machine's speed
    int handled = 0, chain = 0;
    bool slowSteps = false;
    platform::WindowHandle window = 0;
    window = loop.createWindow(
        "W", [&](platform::WindowHandle, platform::MessageId m, std::intptr_t, std::intptr_t) {
            ++handled;
            if (slowSteps)
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            if (m == 1 && --chain > 0)
                loop.postFollowUp(window, 1, 0, 0);
        });
    chain = 10;
    loop.postMessage(window, 1, 0, 0);
    EXPECT_EQ(loop.processPendingEvents(), 10u);

    chain = 100; // a long chain lets the descriptors be checked in between
    handled = 0;
    loop.postMessage(window, 1, 0, 0);
    loop.processPendingEvents();
    EXPECT_EQ(handled, 65);
    loop.processPendingEvents();
    EXPECT_EQ(handled, 100);

    chain = 10; // steps that take long give way sooner
    handled = 0;
    slowSteps = true;
    loop.setFollowUpTime(std::chrono::microseconds(100));
    loop.postMessage(window, 1, 0, 0);
    EXPECT_EQ(loop.processPendingEvents(), 2u); // the cause, then one follow-up
    slowSteps = false;
    while (handled < 10)
        loop.processPendingEvents();

    chain = 1; // a plain post made in the pass waits for the next one, in order
    handled = 0;
    platform::WindowHandle other = loop.createWindow(
        "O", [&](platform::WindowHandle, platform::MessageId, std::intptr_t, std::intptr_t) {
            loop.postMessage(window, 2, 0, 0);
            loop.postFollowUp(window, 1, 0, 0);
        });
    loop.postMessage(other, 1, 0, 0);
    EXPECT_EQ(loop.processPendingEvents(), 1u);
    EXPECT_EQ(loop.processPendingEvents(), 2u); // 2, then the follow-up behind it
}

TEST(EventLoopMessages, PostsFromOtherThreadsWakeAWaitingLoop) {
    EventLoop loop;
    int got = 0;
    auto window = loop.createWindow("W", [&](platform::WindowHandle, platform::MessageId,
                                             std::intptr_t w, std::intptr_t) { got = int(w); });
    std::thread worker([&] {
        std::this_thread::sleep_for(100ms);
        loop.postMessageFromAnyThread(window, 1, 7, 0);
    });
    auto start = Clock::now();
    loop.runUntil([&] { return got == 7; }, Clock::now() + 5s);
    worker.join();
    EXPECT_EQ(got, 7);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(EventLoopMessages, HandlerExceptionsStayInTheLoop) {
    EventLoop loop;
    int after = 0;
    auto window = loop.createWindow(
        "W", [&](platform::WindowHandle, platform::MessageId m, std::intptr_t, std::intptr_t) {
            if (m == 1)
                throw std::runtime_error("handler failed");
            ++after;
        });
    loop.postMessage(window, 1, 0, 0);
    loop.postMessage(window, 2, 0, 0);
    EXPECT_NO_THROW(loop.processPendingEvents());
    EXPECT_EQ(after, 1);
}

TEST(EventLoopTimers, SetAgainRestartsAndKillStops) {
    EventLoop loop;
    auto window = loop.createWindow("T", nullptr);
    std::vector<double> ticks;
    auto start = Clock::now();
    auto proc = [&](platform::WindowHandle, platform::TimerId) {
        ticks.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    };
    ASSERT_TRUE(loop.setTimer(window, 42, 200, proc));
    loop.runUntil([] { return false; }, start + 100ms);
    ASSERT_TRUE(loop.setTimer(window, 42, 200, proc)); // restart: next tick near 300 ms
    loop.runUntil([&] { return ticks.size() == 2; }, start + 2s);
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_NEAR(ticks[0], 0.3, 0.08);
    EXPECT_NEAR(ticks[1], 0.5, 0.08);
    EXPECT_TRUE(loop.killTimer(window, 42));
    loop.runUntil([] { return false; }, Clock::now() + 300ms);
    EXPECT_EQ(ticks.size(), 2u);
    EXPECT_FALSE(loop.setTimer(window, 1, 0, proc));
    EXPECT_FALSE(loop.setTimer(window + 100, 1, 10, proc));
}

TEST(EventLoopTimers, OnlyAnEarlierDeadlineArmsTheDescriptor) {
    EventLoop loop;
    auto window = loop.createWindow("T", nullptr);
    std::vector<platform::TimerId> ticks;
    auto proc = [&](platform::WindowHandle w, platform::TimerId id) {
        ticks.push_back(id);
        if (id == 3)
            loop.killTimer(w, id);
    };
    auto arms = [&] { return loop.systemCalls().timerArms; };
    ASSERT_TRUE(loop.setTimer(window, 1, 150, proc));
    const auto armed = arms();
    for (int i = 0; i < 10; ++i)
        loop.setTimer(window, 1, 150, proc); // set again: later, so nothing to arm
    loop.setTimer(window, 2, 5000, proc);
    EXPECT_EQ(arms(), armed);
    loop.setTimer(window, 3, 50, proc); // earlier
    EXPECT_EQ(arms(), armed + 1);
    auto start = Clock::now();
    loop.runUntil([&] { return !ticks.empty() && ticks.back() == 1; }, start + 2s);
    EXPECT_EQ(ticks, (std::vector<platform::TimerId>{3, 1}));
    EXPECT_NEAR(std::chrono::duration<double>(Clock::now() - start).count(), 0.15, 0.08);
}

TEST(EventLoopWaiting, IdleWaitUsesNoProcessor) {
    EventLoop loop;
    auto window = loop.createWindow("T", nullptr);
    int ticks = 0;
    loop.setTimer(window, 1, 100, [&](platform::WindowHandle, platform::TimerId) { ++ticks; });
    double before = cpuSeconds();
    auto start = Clock::now();
    while (Clock::now() - start < 1s)
        loop.yield(); // a wait loop that yields blocks until the next event
    double used = cpuSeconds() - before;
    EXPECT_GE(ticks, 8);
    EXPECT_LT(used, 0.1);
}

TEST(EventLoopWaiting, DescriptorIsReadableWhileWorkIsQueued) {
    EventLoop loop;
    auto window = loop.createWindow(
        "W", [](platform::WindowHandle, platform::MessageId, std::intptr_t, std::intptr_t) {});
    auto readable = [&] {
        pollfd p{loop.fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    loop.processPendingEvents();
    EXPECT_FALSE(readable());
    loop.postMessage(window, 1, 0, 0);
    EXPECT_TRUE(readable()); // a toolkit watching fd() wakes up for it
    loop.processPendingEvents();
    EXPECT_FALSE(readable());
}

TEST(EventLoopWaiting, AWaitIsThePassOnlyReadinessCheck) {
    EventLoop loop;
    int got = 0;
    auto window = loop.createWindow("W", [&](platform::WindowHandle, platform::MessageId,
                                             std::intptr_t, std::intptr_t) { ++got; });
    std::thread worker([&] {
        std::this_thread::sleep_for(50ms);
        loop.postMessageFromAnyThread(window, 1, 0, 0);
    });
    const auto before = loop.systemCalls().waits;
    loop.waitForEvents(Clock::now() + 5s);
    worker.join();
    EXPECT_EQ(got, 1);
    EXPECT_EQ(loop.systemCalls().waits - before, 1u);
}
