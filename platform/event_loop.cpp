#include "platform/event_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

// One read takes the whole count of an eventfd or a timerfd.
void readCounter(int fd) {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
}

// How many follow-ups one pass dispatches at most before it checks the
// descriptors again, so other sockets are served while a chain runs; the
// time it may spend on them is the loop's followUpTime().
constexpr int FollowUpsPerPass = 64;

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
    std::erase_if(m_deadlines, [window](const auto& d) { return d.second.first == window; });
    std::erase_if(m_queue,
                  [window](const Queued& q) { return q.fd < 0 && q.message.window == window; });
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
    return enqueue(Message{window, message, wParam, lParam}, false);
}

bool EventLoop::postFollowUp(WindowHandle window, MessageId message, std::intptr_t wParam,
                             std::intptr_t lParam) {
    return enqueue(Message{window, message, wParam, lParam}, true);
}

bool EventLoop::enqueue(const Message& m, bool followUp) {
    if (!isWindow(m.window))
        return false;
    m_queue.push_back(Queued{m, followUp});
    // Inside a pass the loop is awake and leaves fd() readable at its end
    // if work is left; outside one, a toolkit watching fd() must be told.
    if (m_dispatching == 0)
        wake();
    return true;
}

void EventLoop::postMessageFromAnyThread(WindowHandle window, MessageId message,
                                         std::intptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(m_inbox->mutex);
    m_inbox->messages.push_back(Message{window, message, wParam, lParam});
    m_inbox->posted.store(true, std::memory_order_release);
    if (m_inbox->wakeFd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_inbox->wakeFd, &one, sizeof one);
    }
}

bool EventLoop::sendMessage(WindowHandle window, MessageId message, std::intptr_t wParam,
                            std::intptr_t lParam) {
    auto it = m_windows.find(window);
    if (it == m_windows.end())
        return false;
    WindowProc proc = it->second.proc; // the window may end inside its procedure
    guarded([&] { proc(window, message, wParam, lParam); });
    return true;
}

void EventLoop::removeMessages(const std::function<bool(const Message&)>& match) {
    std::erase_if(m_queue, [&](const Queued& q) { return q.fd < 0 && match(q.message); });
}

// Makes fd() readable until the queue is empty; written once, however
// many messages wait.
void EventLoop::wake() {
    if (m_wakeWritten)
        return;
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_inbox->wakeFd, &one, sizeof one);
    ++m_calls.wakeWrites;
    m_wakeWritten = true;
}

// At the end of a pass: fd() stays readable while messages wait, and
// becomes quiet once none do.
void EventLoop::settleWake() {
    if (!m_queue.empty()) {
        if (!m_wakeReadable)
            wake();
        return;
    }
    if (!m_wakeWritten && !m_wakeReadable)
        return;
    readCounter(m_inbox->wakeFd);
    ++m_calls.counterReads;
    m_wakeWritten = false;
    m_wakeReadable = false;
    // A thread that posted just before the read has had its count taken.
    drainInbox();
    if (!m_queue.empty())
        wake();
}

void EventLoop::drainInbox() {
    if (!m_inbox->posted.load(std::memory_order_acquire))
        return;
    std::vector<Message> incoming;
    {
        std::lock_guard lock(m_inbox->mutex);
        incoming.swap(m_inbox->messages);
        m_inbox->posted.store(false, std::memory_order_relaxed);
    }
    for (const Message& m : incoming)
        if (isWindow(m.window))
            m_queue.push_back(Queued{m, false});
}

// --- timers ----------------------------------------------------------------

bool EventLoop::setTimer(WindowHandle window, TimerId id, std::uint32_t milliseconds,
                         TimerProc proc) {
    if (!isWindow(window) || milliseconds == 0)
        return false;
    const TimerKey key{window, id};
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(milliseconds);
    unscheduleTimer(key);
    m_timers[key] = Timer{milliseconds, due, std::move(proc), ++m_lastTimerGeneration};
    scheduleTimer(key, due);
    armTimerFd();
    return true;
}

bool EventLoop::killTimer(WindowHandle window, TimerId id) {
    // The descriptor may still expire for it: the tick finds nothing due
    // and arms it for the next timer then.
    unscheduleTimer({window, id});
    return m_timers.erase({window, id}) != 0;
}

bool EventLoop::hasTimer(WindowHandle window, TimerId id) const {
    return m_timers.count({window, id}) != 0;
}

void EventLoop::scheduleTimer(const TimerKey& key, Clock::time_point due) {
    m_deadlines.emplace(due, key);
}

void EventLoop::unscheduleTimer(const TimerKey& key) {
    auto it = m_timers.find(key);
    if (it != m_timers.end())
        m_deadlines.erase({it->second.due, key});
}

bool EventLoop::timerDue(Clock::time_point now) const {
    return !m_deadlines.empty() && m_deadlines.begin()->first <= now;
}

// The descriptor is armed only when the earliest deadline comes before the
// expiry it is armed for: a timer set later, or ended, leaves it as it is,
// and the early expiry then finds nothing due and arms it again.
void EventLoop::armTimerFd() {
    if (m_deadlines.empty())
        return;
    const Clock::time_point earliest = m_deadlines.begin()->first;
    if (earliest >= m_armedFor)
        return;
    auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch()).count();
    if (ns <= 0)
        ns = 1;
    // steady_clock is CLOCK_MONOTONIC on Linux, so the deadline can be armed as it is.
    itimerspec deadline{};
    deadline.it_value.tv_sec = ns / 1000000000;
    deadline.it_value.tv_nsec = ns % 1000000000;
    ++m_calls.timerArms;
    if (::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &deadline, nullptr) == 0)
        m_armedFor = earliest;
}

std::size_t EventLoop::dispatchDueTimers() {
    auto now = Clock::now();
    if (!timerDue(now)) {
        armTimerFd(); // after an early expiry: armed for the timer that is next now
        return 0;
    }
    std::vector<std::pair<TimerKey, std::uint64_t>> due;
    while (timerDue(now)) {
        const TimerKey key = m_deadlines.begin()->second;
        m_deadlines.erase(m_deadlines.begin());
        Timer& timer = m_timers.at(key);
        // Like a window timer, a late tick is delivered once and the
        // next one comes a full period later; ticks never pile up.
        timer.due = now + std::chrono::milliseconds(timer.milliseconds);
        scheduleTimer(key, timer.due);
        due.emplace_back(key, timer.generation);
    }
    // Ticks of one pass go out in the order of their windows and identifiers.
    std::sort(due.begin(), due.end());
    std::size_t dispatched = 0;
    for (const auto& [key, generation] : due) {
        // An earlier tick of this pass may have ended the timer, or set it
        // again: a timer set again starts a full period from then.
        auto it = m_timers.find(key);
        if (it == m_timers.end() || it->second.generation != generation)
            continue;
        TimerProc proc = it->second.proc;
        const auto window = key.first;
        const auto id = key.second;
        guarded([&] { proc(window, id); });
        ++dispatched;
    }
    armTimerFd();
    return dispatched;
}

// --- descriptors -----------------------------------------------------------

void EventLoop::watchFd(int fd, FdCallback callback) {
    m_watches[fd] = Watch{std::move(callback), 0};
}

std::uint32_t EventLoop::fdEvents(int fd) const {
    auto it = m_watches.find(fd);
    return it == m_watches.end() ? 0 : it->second.events;
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
    ++m_calls.interestChanges;
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
    ++m_calls.waits;
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == m_timerFd) {
            readCounter(fd);
            ++m_calls.counterReads;
            m_armedFor = Clock::time_point::max(); // expired; the pass's timers arm it again
            continue;
        }
        if (fd == m_inbox->wakeFd) {
            m_wakeReadable = true; // read at the end of the pass, once nothing waits
            continue;
        }
        auto it = m_watches.find(fd);
        if (it != m_watches.end() && it->second.events != 0)
            queueReadiness(fd, it->second, events[i].events);
    }
    drainInbox();
}

// A descriptor found ready again before its turn keeps the turn it has,
// so its news keep their order behind what was posted before them.
void EventLoop::queueReadiness(int fd, Watch& watch, std::uint32_t events) {
    if (watch.turn != 0) {
        watch.readyEvents |= events;
        return;
    }
    watch.turn = ++m_lastTurn;
    watch.readyEvents = events;
    Queued entry;
    entry.fd = fd;
    entry.turn = watch.turn;
    m_queue.push_back(entry);
}

bool EventLoop::dispatchReadiness(const Queued& entry) {
    auto it = m_watches.find(entry.fd);
    // Unwatched since (and perhaps watched again, for another socket).
    if (it == m_watches.end() || it->second.turn != entry.turn)
        return false;
    const std::uint32_t events = std::exchange(it->second.readyEvents, 0);
    it->second.turn = 0;
    if (it->second.events == 0)
        return false; // no longer waited for
    FdCallback callback = it->second.callback;
    const int fd = entry.fd;
    guarded([&] { callback(fd, events); });
    return true;
}

// --- dispatch --------------------------------------------------------------

std::size_t EventLoop::dispatchQueued() {
    // Only what is queued now, and the follow-ups it leads to: a handler
    // that keeps posting cannot starve descriptors and timers.
    std::size_t count = m_queue.size();
    std::size_t dispatched = 0;
    int followUps = 0;
    Clock::time_point chainStart;
    for (;;) {
        if (m_queue.empty())
            break;
        if (count > 0) {
            --count;
        } else if (!m_queue.front().followUp || ++followUps > FollowUpsPerPass ||
                   m_inbox->posted.load(std::memory_order_relaxed)) {
            break;
        } else {
            const auto now = Clock::now();
            if (followUps == 1)
                chainStart = now;
            if (now - chainStart > m_followUpTime || timerDue(now))
                break;
        }
        const Queued entry = m_queue.front();
        m_queue.pop_front();
        if (entry.fd >= 0) {
            dispatched += dispatchReadiness(entry) ? 1 : 0;
            continue;
        }
        const Message& m = entry.message;
        auto it = m_windows.find(m.window);
        if (it == m_windows.end())
            continue;
        WindowProc proc = it->second.proc; // the window may end inside its procedure
        guarded([&] { proc(m.window, m.message, m.wParam, m.lParam); });
        ++dispatched;
    }
    return dispatched;
}

std::size_t EventLoop::dispatchPass() {
    std::size_t dispatched = dispatchQueued();
    dispatched += dispatchDueTimers();
    settleWake(); // more to do: fd() stays readable
    return dispatched;
}

namespace {

// Marks a pass as running for as long as it runs.
struct PassScope {
    explicit PassScope(int& depth) : depth(depth) { ++depth; }
    ~PassScope() { --depth; }
    PassScope(const PassScope&) = delete;
    PassScope& operator=(const PassScope&) = delete;
    int& depth;
};

} // namespace

std::size_t EventLoop::processPendingEvents() {
    PassScope pass(m_dispatching);
    collectReady(0);
    return dispatchPass();
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
    PassScope pass(m_dispatching);
    // The wait is the pass's one check of the descriptors.
    collectReady(m_queue.empty() ? millisecondsUntil(deadline) : 0);
    return dispatchPass();
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
