#include "platform/event_loop.h"
#include "platform/qt/loop_bridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::EventLoop;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs Qt's loop (not the component loop) until `done` or the time is up.
bool runQtUntil(const std::function<bool()>& done, int milliseconds = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

class LoopBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QCoreApplication::instance())
            GTEST_SKIP() << "no Qt application";
        window = EventLoop::instance().createWindow(
            "bridge test", [this](platform::WindowHandle, platform::MessageId m, std::intptr_t w,
                                  std::intptr_t) { onMessage(m, w); });
        ASSERT_NE(window, 0u);
    }
    void TearDown() override {
        if (window)
            EventLoop::instance().destroyWindow(window);
    }
    virtual void onMessage(platform::MessageId message, std::intptr_t wParam) {
        received.push_back({message, wParam});
        if (nested)
            nested(message, wParam);
    }

    platform::WindowHandle window = 0;
    std::vector<std::pair<platform::MessageId, std::intptr_t>> received;
    std::function<void(platform::MessageId, std::intptr_t)> nested;
};

TEST_F(LoopBridgeTest, PostedMessagesAndTimerTicksReachHandlersWhileQtsLoopRuns) {
    auto& loop = EventLoop::instance();
    ASSERT_TRUE(loop.postMessage(window, 0x501, 7, 0));
    loop.postMessageFromAnyThread(window, 0x502, 8, 0);
    int ticks = 0;
    ASSERT_TRUE(
        loop.setTimer(window, 1, 20, [&](platform::WindowHandle, platform::TimerId) { ++ticks; }));
    // Only Qt's loop runs here: everything must come through the bridge.
    EXPECT_TRUE(runQtUntil([&] { return received.size() >= 2 && ticks >= 3; }));
    loop.killTimer(window, 1);
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[0], std::make_pair(platform::MessageId(0x501), std::intptr_t(7)));
    EXPECT_EQ(received[1], std::make_pair(platform::MessageId(0x502), std::intptr_t(8)));
}

TEST_F(LoopBridgeTest, AYieldInsideAHandlerDispatchesNestedLoopAndQtEvents) {
    auto& loop = EventLoop::instance();
    bool qtTimerFired = false;
    bool nestedSeen = false;
    bool outerDone = false;
    nested = [&](platform::MessageId message, std::intptr_t) {
        if (message != 0x601)
            return;
        // The first handler posts a second message and waits for it the
        // way the components wait: yielding until a flag is set.
        loop.postMessage(window, 0x602, 0, 0);
        QTimer::singleShot(30, [&] { qtTimerFired = true; });
        QElapsedTimer clock;
        clock.start();
        while (!(nestedSeen && qtTimerFired) && clock.elapsed() < 3000) {
            loop.yield(500ms);
            nestedSeen = received.size() >= 2;
        }
        outerDone = true;
    };
    loop.postMessage(window, 0x601, 0, 0);
    EXPECT_TRUE(runQtUntil([&] { return outerDone; }));
    EXPECT_TRUE(nestedSeen);
    EXPECT_TRUE(qtTimerFired);
}

TEST_F(LoopBridgeTest, AYieldWithNothingToDoSleepsUntilItsBound) {
    auto& loop = EventLoop::instance();
    // Let the start-up events settle, then wait with nothing pending.
    runQtUntil([] { return false; }, 100);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    int yields = 0;
    while (clock.elapsed() < 600) {
        loop.yield(200ms);
        ++yields;
    }
    const double cpu = cpuSeconds() - cpuBefore;
    EXPECT_LT(cpu, 0.1) << "yielding burned " << cpu << " s of CPU in 0.6 s";
    EXPECT_LE(yields, 10) << "yield returned without waiting";
}

TEST_F(LoopBridgeTest, AYieldReturnsWhenALoopTimerTicks) {
    auto& loop = EventLoop::instance();
    int ticks = 0;
    loop.setTimer(window, 2, 50, [&](platform::WindowHandle, platform::TimerId) { ++ticks; });
    QElapsedTimer clock;
    clock.start();
    while (ticks < 3 && clock.elapsed() < 3000)
        loop.yield(1000ms);
    loop.killTimer(window, 2);
    EXPECT_GE(ticks, 3);
    EXPECT_LT(clock.elapsed(), 1000) << "the yields waited for their bound, not for the ticks";
}

TEST_F(LoopBridgeTest, ProcessPendingEventsNeverWaits) {
    runQtUntil([] { return false; }, 50);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 20; ++i)
        platform::qt::processPendingEvents();
    EXPECT_LT(clock.elapsed(), 100);
}

} // namespace
