#include "checks/request_aside.h"

#include "platform/event_loop.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace ConnectionTest {

namespace {

// What the request's thread and the waiting thread share; the request's
// thread keeps it alive after an abandoned wait.
struct Exchange {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    std::int32_t result = 0;
    PingMod::EchoReply reply{};
    struct Message {
        std::string text;
        PingMod::MessageBoxIcon icon;
    };
    std::deque<Message> messages; // raised, not shown yet
    std::size_t raised = 0, shown = 0;
};

// Makes the waiting thread's loop look at the exchange again.
void wake(platform::EventLoop& loop) {
    loop.postMessageFromAnyThread(0, 0, 0, 0); // no window: dropped there
}

} // namespace

std::optional<std::int32_t> RequestAside(const EchoProbe& probe, const std::string& address,
                                         PingMod::EchoReply& reply, Controls& controls) {
    platform::EventLoop& loop = platform::EventLoop::instance();
    auto exchange = std::make_shared<Exchange>();
    exchange->reply = reply;
    std::thread([exchange, probe, address, &loop] {
        PingMod::setThreadMessageBoxSink(
            [exchange, &loop](const std::string& text, PingMod::MessageBoxIcon icon) {
                std::unique_lock lock(exchange->mutex);
                if (exchange->abandoned) {
                    std::cerr << text << '\n'; // the window has gone; the reason stays
                    return;
                }
                exchange->messages.push_back({text, icon});
                const std::size_t number = ++exchange->raised;
                wake(loop);
                // The request goes on once the box has been shown and closed.
                exchange->changed.wait(
                    lock, [&] { return exchange->shown >= number || exchange->abandoned; });
            });
        PingMod::EchoReply record;
        {
            std::lock_guard lock(exchange->mutex);
            record = exchange->reply;
        }
        const std::int32_t result = probe(address, record);
        std::lock_guard lock(exchange->mutex);
        exchange->result = result;
        exchange->reply = record;
        exchange->done = true;
        wake(loop);
    }).detach();

    for (;;) {
        std::unique_lock lock(exchange->mutex);
        if (!exchange->messages.empty()) {
            Exchange::Message message = std::move(exchange->messages.front());
            exchange->messages.pop_front();
            lock.unlock();
            PingMod::ShowMessageBox(message.text, message.icon);
            lock.lock();
            ++exchange->shown;
            exchange->changed.notify_all();
            continue;
        }
        if (exchange->done) {
            reply = exchange->reply;
            return exchange->result;
        }
        lock.unlock();
        if (controls.closed()) {
            lock.lock();
            exchange->abandoned = true;
            exchange->changed.notify_all();
            return std::nullopt;
        }
        controls.waitForEvents();
    }
}

} // namespace ConnectionTest
