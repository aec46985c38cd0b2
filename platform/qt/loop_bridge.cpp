#include "platform/qt/loop_bridge.h"

#include "platform/event_loop.h"

#include <QCoreApplication>
#include <QTimer>

namespace platform::qt {

LoopBridge::LoopBridge() {
    auto& loop = EventLoop::instance();
    m_notifier = std::make_unique<QSocketNotifier>(loop.fd(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &LoopBridge::dispatchLoop);
    loop.setYieldHook(&LoopBridge::waitAndProcess);
}

LoopBridge::~LoopBridge() {
    EventLoop::instance().setYieldHook(nullptr);
    m_notifier.reset();
}

void LoopBridge::dispatchLoop() {
    // Handlers run here; nothing they throw may reach Qt's loop. The event
    // loop already guards each handler, this catches the loop itself.
    try {
        EventLoop::instance().processPendingEvents();
    } catch (...) {
    }
}

void LoopBridge::waitAndProcess(std::chrono::milliseconds maxWait) {
    // The bound is a Qt timer, so the wait below ends at the latest when it
    // fires. WaitForMoreEvents handles what is pending and, only if nothing
    // was, sleeps in the dispatcher until an event arrives: the loop's
    // descriptor is among the descriptors it sleeps on.
    QTimer bound;
    bound.setSingleShot(true);
    bound.start(maxWait);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    bound.stop();
    // A yield from inside a loop handler runs nested in the notifier's own
    // dispatch; the loop's queue is drained here as well so nothing waits
    // for the next pass of Qt's loop.
    EventLoop::instance().processPendingEvents();
}

void processPendingEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    EventLoop::instance().processPendingEvents();
}

} // namespace platform::qt
