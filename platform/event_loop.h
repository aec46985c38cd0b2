#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

using WindowHandle = std::uintptr_t; // 0 = no window
using MessageId = std::uint32_t;
using TimerId = std::uintptr_t;
using Clock = std::chrono::steady_clock;

struct Message {
    WindowHandle window = 0;
    MessageId message = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

using WindowProc = std::function<void(WindowHandle, MessageId, std::intptr_t, std::intptr_t)>;
using TimerProc = std::function<void(WindowHandle, TimerId)>;
using FdCallback = std::function<void(int fd, std::uint32_t epollEvents)>;

// The program's one event loop, on the thread that owns every component.
//
// It offers what the components expect of a windowing system's message
// queue: hidden message windows with a procedure, registered message
// numbers, posted and sent messages, periodic timers by identifier, and
// descriptor readiness (which the socket-library shim turns into
// notifications for its sockets' windows). Everything is delivered one at
// a time on the owning thread.
//
// All of it waits in one epoll descriptor (`fd()`), which is readable
// whenever something is ready to be dispatched, so a window toolkit can
// watch it and call `processPendingEvents()` from its own loop.
class EventLoop {
public:
    // The process's loop. It is created on first use and never destroyed,
    // so background threads may post to it until the process exits.
    static EventLoop& instance();

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    int fd() const { return m_epoll; }

    // --- hidden message windows -------------------------------------------
    // Returns 0 if no window can be made (never, short of memory, except
    // when a test asks for failures with `failWindowCreation`).
    WindowHandle createWindow(const std::string& name, WindowProc proc);
    // Ends the window, its timers and every message still queued for it.
    bool destroyWindow(WindowHandle window);
    bool isWindow(WindowHandle window) const;
    std::string windowName(WindowHandle window) const;
    std::size_t windowCount() const { return m_windows.size(); }
    // Same name, same number, for the life of the process (0xC000 and up).
    MessageId registerMessage(const std::string& name);
    // Test seam: makes the next `count` window creations fail.
    void failWindowCreation(int count) { m_failWindowCreations = count; }

    // --- posted messages --------------------------------------------------
    // Owning thread only. False if the window does not exist. A post made
    // while the loop dispatches costs no system call: the loop is awake.
    bool postMessage(WindowHandle window, MessageId message, std::intptr_t wParam,
                     std::intptr_t lParam);
    // The same for the next step of a chain the current message started
    // (a send whose completion leads to the next send): the pass that
    // dispatches its cause may dispatch it too, without waiting for
    // readiness again, as long as no timer is due, no other thread has
    // posted and the pass has not followed too many such steps already
    // (64) nor for too long (followUpTime from the first).
    bool postFollowUp(WindowHandle window, MessageId message, std::intptr_t wParam,
                      std::intptr_t lParam);
    // How long a pass follows one chain's steps before it checks the
    // descriptors again: 0.1 ms, a little less than handing the kernel
    // 1 MiB takes, so a copy of large blocks between two sockets of this
    // loop lets the reader take each block before the next goes out.
    std::chrono::microseconds followUpTime() const { return m_followUpTime; }
    void setFollowUpTime(std::chrono::microseconds time) { m_followUpTime = time; }
    // Any thread. The message is queued on the owning thread at its next
    // pass and dropped there if the window has gone.
    void postMessageFromAnyThread(WindowHandle window, MessageId message, std::intptr_t wParam,
                                  std::intptr_t lParam);
    // Owning thread only. Calls the window's procedure now, as a dispatch
    // would (a failure inside it is dropped); false if the window does not
    // exist. For a notification that is already its own turn in the queue
    // (a descriptor's readiness) and gains nothing from waiting again.
    bool sendMessage(WindowHandle window, MessageId message, std::intptr_t wParam,
                     std::intptr_t lParam);
    // Drops queued messages for which `match` is true.
    void removeMessages(const std::function<bool(const Message&)>& match);
    // Messages and descriptor readiness waiting for their turn.
    std::size_t queuedMessages() const { return m_queue.size(); }

    // --- timers -----------------------------------------------------------
    // Sets a periodic timer; an existing timer with the same window and
    // identifier is replaced and its period starts again from now (a timer
    // set again by another timer's tick does not also fire in that pass).
    // False if the window does not exist or the period is 0.
    bool setTimer(WindowHandle window, TimerId id, std::uint32_t milliseconds, TimerProc proc);
    bool killTimer(WindowHandle window, TimerId id);
    bool hasTimer(WindowHandle window, TimerId id) const;

    // --- descriptor readiness (for the socket-library shim) -------------
    // What a readiness check finds takes its turn in the queue behind the
    // messages posted before it, one turn per descriptor however often it
    // is found ready meanwhile; the callback runs at that turn, with every
    // epoll event seen since. A descriptor unwatched before its turn loses it.
    void watchFd(int fd, FdCallback callback);
    // epoll events to wait for; 0 takes the descriptor out of the wait set.
    // False if the kernel refused (no memory, no watches left): the
    // descriptor is then not waited for at all. Setting the events already
    // set costs nothing.
    bool setFdEvents(int fd, std::uint32_t events);
    // The events the descriptor is waited for now (0 if not watched).
    std::uint32_t fdEvents(int fd) const;
    void unwatchFd(int fd);

    // --- dispatch ---------------------------------------------------------
    // One pass: collects what is ready now (descriptors, due timers,
    // messages from other threads) with one readiness check and dispatches
    // every message and readiness queued at that moment, the follow-ups
    // they post (see `postFollowUp`), then the due timers. Never waits. May be called from
    // inside a handler. Returns how many messages and ticks were dispatched.
    std::size_t processPendingEvents();
    // Blocks until something is ready or the deadline passes, then
    // dispatches it as `processPendingEvents` does (the wait is the pass's
    // one readiness check).
    std::size_t waitForEvents(std::optional<Clock::time_point> deadline = std::nullopt);
    // Dispatches until `done()` is true or the deadline passes; returns `done()`.
    bool runUntil(const std::function<bool()>& done,
                  std::optional<Clock::time_point> deadline = std::nullopt);

    // System calls the loop has made, by kind, for tests and benchmarks.
    struct SystemCalls {
        std::uint64_t waits = 0;           // epoll_wait
        std::uint64_t interestChanges = 0; // epoll_ctl on a watched descriptor
        std::uint64_t wakeWrites = 0;      // writes of the wake-up descriptor (this thread's)
        std::uint64_t counterReads = 0;    // reads of the wake-up and timer descriptors
        std::uint64_t timerArms = 0;       // timerfd_settime
    };
    const SystemCalls& systemCalls() const { return m_calls; }

    // The wait used by loops that "yield to the message loop": blocks until
    // the next event has been handled (at most `maxWait`). A window toolkit
    // replaces it so that its own events are handled too.
    void yield(std::chrono::milliseconds maxWait = std::chrono::milliseconds(1000));
    void setYieldHook(std::function<void(std::chrono::milliseconds)> hook) {
        m_yieldHook = std::move(hook);
    }

private:
    struct Window {
        std::string name;
        WindowProc proc;
    };
    using TimerKey = std::pair<WindowHandle, TimerId>;
    struct Timer {
        std::uint32_t milliseconds;
        Clock::time_point due;
        TimerProc proc;
        std::uint64_t generation; // changes whenever the timer is set
    };
    struct Queued {
        Message message;
        bool followUp = false;
        int fd = -1;            // a descriptor's readiness instead of a message
        std::uint64_t turn = 0; // which readiness turn of that descriptor
    };
    struct Watch {
        FdCallback callback;
        std::uint32_t events = 0;
        std::uint64_t turn = 0;        // its readiness waiting in the queue; 0 = none
        std::uint32_t readyEvents = 0; // what was seen ready for that turn
    };
    // State shared with threads that post from outside.
    struct Inbox {
        std::mutex mutex;
        std::vector<Message> messages;
        std::atomic<bool> posted{false}; // messages is not empty
        int wakeFd = -1;
    };

    void collectReady(int timeoutMs);
    void queueReadiness(int fd, Watch& watch, std::uint32_t events);
    bool dispatchReadiness(const Queued& entry);
    void drainInbox();
    std::size_t dispatchPass();
    std::size_t dispatchDueTimers();
    std::size_t dispatchQueued();
    bool timerDue(Clock::time_point now) const;
    void scheduleTimer(const TimerKey& key, Clock::time_point due);
    void unscheduleTimer(const TimerKey& key);
    void armTimerFd();
    void wake();
    void settleWake();
    bool enqueue(const Message& m, bool followUp);
    int millisecondsUntil(std::optional<Clock::time_point> deadline) const;

    int m_epoll = -1;
    int m_timerFd = -1;
    std::shared_ptr<Inbox> m_inbox;
    std::map<WindowHandle, Window> m_windows;
    WindowHandle m_lastWindow = 0;
    std::unordered_map<std::string, MessageId> m_registered;
    MessageId m_nextMessage = 0xC000;
    std::deque<Queued> m_queue;
    int m_dispatching = 0;       // passes running (nested ones included)
    bool m_wakeWritten = false;  // this thread's count is in the wake-up descriptor
    bool m_wakeReadable = false; // a check saw the wake-up descriptor readable
    std::map<TimerKey, Timer> m_timers;
    std::set<std::pair<Clock::time_point, TimerKey>> m_deadlines; // m_timers by due time
    Clock::time_point m_armedFor = Clock::time_point::max();      // the timer descriptor's expiry
    std::uint64_t m_lastTimerGeneration = 0;
    std::unordered_map<int, Watch> m_watches;
    std::uint64_t m_lastTurn = 0;
    std::function<void(std::chrono::milliseconds)> m_yieldHook;
    int m_failWindowCreations = 0;
    SystemCalls m_calls;
    std::chrono::microseconds m_followUpTime{100};
};

} // namespace platform
