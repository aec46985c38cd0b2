#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <chrono>
#include <memory>

namespace platform::qt {

// Joins the process's event loop (platform::EventLoop) to Qt's event loop,
// so that one thread serves both:
//
// - a QSocketNotifier watches the loop's epoll descriptor and dispatches
//   whatever the loop has ready (posted messages, timer ticks, socket
//   readiness) from inside Qt's loop;
// - the loop's yield hook is replaced, so a component that "yields to the
//   message loop" processes Qt's events too (repaints, clicks, Qt timers)
//   and blocks until the next event instead of spinning.
//
// Create one after the QCoreApplication and keep it for the application's
// lifetime; its destructor undoes both.
class LoopBridge : public QObject {
public:
    LoopBridge();
    ~LoopBridge() override;
    LoopBridge(const LoopBridge&) = delete;
    LoopBridge& operator=(const LoopBridge&) = delete;

    // Blocks until at least one Qt or loop event has been handled, or until
    // `maxWait` has passed; handles everything already pending first.
    static void waitAndProcess(std::chrono::milliseconds maxWait);

private:
    void dispatchLoop();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Handles everything pending right now, Qt's events and the loop's, and
// returns without waiting: a handler that must not stall (a 100 ms clock
// tick) uses this rather than EventLoop::yield().
void processPendingEvents();

} // namespace platform::qt
