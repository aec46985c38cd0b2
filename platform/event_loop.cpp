#include "platform/event_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

namespace {

void readCounter(int fd) {
    std::uint64_t value;
    while (::read(fd, &value, sizeof value) == sizeof value) {
    }
}

// A handler that throws must not take the loop (or a window toolkit's
// loop above it) down with it: the components report their own failures
// through events, so anything that still arrives here is dropped.
template <typename F> void guarded(F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "event loop: handler failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "event loop: handler failed\n");
    }
}

} // namespace

EventLoop& EventLoop::instance() {
    static EventLoop* loop = new EventLoop; // never destroyed: see the header
    return *loop;
}

EventLoop::EventLoop() : m_inbox(std::make_shared<Inbox>()) {
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_inbox->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_timerFd < 0 || m_inbox->wakeFd < 0)
        throw std::runtime_error(std::string("event loop: ") + std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_timerFd;
    int timerAdded = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_timerFd, &ev);
    ev.data.fd = m_inbox->wakeFd;
    if (timerAdded != 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_inbox->wakeFd, &ev) != 0)
        throw std::runtime_error(std::string("event loop: ") + std::strerror(errno));
}

EventLoop::~EventLoop() {
    ::close(m_timerFd);
    ::close(m_epoll);
    std::lock_guard lock(m_inbox->mutex);
    ::close(m_inbox->wakeFd);
    m_inbox->wakeFd = -1;
}

// --- windows ---------------------------------------------------------------

WindowHandle EventLoop::createWindow(const std::string& name, WindowProc proc) {
    if (m_failWindowCreations > 0) {
        --m_failWindowCreations;
        return 0;
    }
    WindowHandle handle = ++m_lastWindow;
    m_windows.emplace(handle, Window{name, std::move(proc)});
    return handle;
}

bool EventLoop::destroyWindow(WindowHandle window) {
    if (m_windows.erase(window) == 0)
        return false;
    std::erase_if(m_timers, [window](const auto& t) { return t.first.first == window; });
    std::erase_if(m_queue, [window](const Message& m) { return m.window == window; });
    armTimerFd();
    return true;
}

bool EventLoop::isWindow(WindowHandle window) const {
    return m_windows.count(window) != 0;
}

std::string EventLoop::windowName(WindowHandle window) const {
    auto it = m_windows.find(window);
    return it == m_windows.end() ? std::string() : it->second.name;
}

MessageId EventLoop::registerMessage(const std::string& name) {
    auto [it, added] = m_registered.try_emplace(name, m_nextMessage);
    if (added)
        ++m_nextMessage;
    return it->second;
}

// --- messages --------------------------------------------------------------

bool EventLoop::postMessage(WindowHandle window, MessageId message, std::intptr_t wParam,
                            std::intptr_t lParam) {
    if (!isWindow(window))
        return false;
    if (m_queue.empty())
        wake(); // keeps fd() readable for a toolkit that watches it
    m_queue.push_back(Message{window, message, wParam, lParam});
    return true;
}

void EventLoop::postMessageFromAnyThread(WindowHandle window, MessageId message,
                                         std::intptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(m_inbox->mutex);
    m_inbox->messages.push_back(Message{window, message, wParam, lParam});
    if (m_inbox->wakeFd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_inbox->wakeFd, &one, sizeof one);
    }
}

void EventLoop::removeMessages(const std::function<bool(const Message&)>& match) {
    std::erase_if(m_queue, match);
}

void EventLoop::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_inbox->wakeFd, &one, sizeof one);
}

void EventLoop::drainInbox() {
    std::vector<Message> incoming;
    {
        std::lock_guard lock(m_inbox->mutex);
        incoming.swap(m_inbox->messages);
    }
    for (const Message& m : incoming)
        if (isWindow(m.window))
            m_queue.push_back(m);
}

// --- timers ----------------------------------------------------------------

bool EventLoop::setTimer(WindowHandle window, TimerId id, std::uint32_t milliseconds,
                         TimerProc proc) {
    if (!isWindow(window) || milliseconds == 0)
        return false;
    m_timers[{window, id}] =
        Timer{milliseconds, Clock::now() + std::chrono::milliseconds(milliseconds), std::move(proc),
              ++m_lastTimerGeneration};
    armTimerFd();
    return true;
}

bool EventLoop::killTimer(WindowHandle window, TimerId id) {
    bool removed = m_timers.erase({window, id}) != 0;
    if (removed)
        armTimerFd();
    return removed;
}

bool EventLoop::hasTimer(WindowHandle window, TimerId id) const {
    return m_timers.count({window, id}) != 0;
}

void EventLoop::armTimerFd() {
    itimerspec deadline{};
    if (!m_timers.empty()) {
        Clock::time_point earliest = Clock::time_point::max();
        for (const auto& entry : m_timers)
            earliest = std::min(earliest, entry.second.due);
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch())
                      .count();
        if (ns <= 0)
            ns = 1;
        // steady_clock is CLOCK_MONOTONIC on Linux, so the deadline can be armed as it is.
        deadline.it_value.tv_sec = ns / 1000000000;
        deadline.it_value.tv_nsec = ns % 1000000000;
        if (deadline.it_value.tv_sec == 0 && deadline.it_value.tv_nsec == 0)
            deadline.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

std::size_t EventLoop::dispatchDueTimers() {
    auto now = Clock::now();
    std::vector<std::pair<std::pair<WindowHandle, TimerId>, std::uint64_t>> due;
    for (auto& [key, timer] : m_timers) {
        if (timer.due <= now) {
            // Like a window timer, a late tick is delivered once and the
            // next one comes a full period later; ticks never pile up.
            timer.due = now + std::chrono::milliseconds(timer.milliseconds);
            due.emplace_back(key, timer.generation);
        }
    }
    std::size_t dispatched = 0;
    for (const auto& [key, generation] : due) {
        // An earlier tick of this pass may have ended the timer, or set it
        // again: a timer set again starts a full period from then.
        auto it = m_timers.find(key);
        if (it == m_timers.end() || it->second.generation != generation)
            continue;
        TimerProc proc = it->second.proc;
        guarded([&] { proc(key.first, key.second); });
        ++dispatched;
    }
    armTimerFd();
    return dispatched;
}

// --- descriptors -----------------------------------------------------------

void EventLoop::watchFd(int fd, FdCallback callback) {
    m_watches[fd] = Watch{std::move(callback), 0};
}

bool EventLoop::setFdEvents(int fd, std::uint32_t events) {
    auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return true; // not watched: nothing to wait for
    if (it->second.events == events)
        return true;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    int op = it->second.events == 0 ? EPOLL_CTL_ADD : (events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
    if (::epoll_ctl(m_epoll, op, fd, &ev) != 0) {
        // Out of kernel memory or watches: the descriptor is not waited
        // for any more, and the caller must say so to its user.
        if (op != EPOLL_CTL_ADD)
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        it->second.events = 0;
        return events == 0;
    }
    it->second.events = events;
    return true;
}

void EventLoop::unwatchFd(int fd) {
    auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    // A descriptor that is closed already has left the wait set by itself,
    // so a failure here leaves nothing behind.
    if (it->second.events != 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_watches.erase(it);
}

void EventLoop::collectReady(int timeoutMs) {
    epoll_event events[64];
    int n = ::epoll_wait(m_epoll, events, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == m_timerFd || fd == m_inbox->wakeFd) {
            readCounter(fd);
            continue;
        }
        auto it = m_watches.find(fd);
        if (it == m_watches.end() || it->second.events == 0)
            continue; // unwatched by an earlier callback of this pass
        FdCallback callback = it->second.callback;
        guarded([&] { callback(fd, events[i].events); });
    }
    drainInbox();
}

// --- dispatch --------------------------------------------------------------

std::size_t EventLoop::dispatchQueued() {
    // Only what is queued now: a handler that keeps posting cannot starve
    // descriptors and timers.
    std::size_t count = m_queue.size();
    std::size_t dispatched = 0;
    while (count-- > 0 && !m_queue.empty()) {
        Message m = m_queue.front();
        m_queue.pop_front();
        auto it = m_windows.find(m.window);
        if (it == m_windows.end())
            continue;
        WindowProc proc = it->second.proc; // the window may end inside its procedure
        guarded([&] { proc(m.window, m.message, m.wParam, m.lParam); });
        ++dispatched;
    }
    return dispatched;
}

std::size_t EventLoop::processPendingEvents() {
    collectReady(0);
    std::size_t dispatched = dispatchQueued();
    dispatched += dispatchDueTimers();
    if (!m_queue.empty())
        wake(); // more to do: keep fd() readable
    return dispatched;
}

int EventLoop::millisecondsUntil(std::optional<Clock::time_point> deadline) const {
    if (!deadline)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : static_cast<int>(left);
}

std::size_t EventLoop::waitForEvents(std::optional<Clock::time_point> deadline) {
    if (m_queue.empty())
        collectReady(millisecondsUntil(deadline));
    return processPendingEvents();
}

bool EventLoop::runUntil(const std::function<bool()>& done,
                         std::optional<Clock::time_point> deadline) {
    while (!done()) {
        if (deadline && Clock::now() >= *deadline)
            return done();
        waitForEvents(deadline);
    }
    return true;
}

void EventLoop::yield(std::chrono::milliseconds maxWait) {
    if (m_yieldHook) {
        m_yieldHook(maxWait);
        return;
    }
    waitForEvents(Clock::now() + maxWait);
}

} // namespace platform
