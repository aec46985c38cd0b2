// The lookup pool of the socket-library shim: host lookups run on at most
// `LookupThreads` background threads, started when work comes and ended
// after a while without any; the rest wait in a queue, where a lookup that
// nobody wants any more is dropped before it starts.

#include "platform/winsock/internal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace platform::winsock::detail {

namespace {

constexpr auto IdleThreadLifetime = std::chrono::seconds(10);

struct Job {
    std::int32_t task;
    std::function<void()> run;
};

class Pool {
public:
    Pool() {
        // A child made by fork has none of the parent's threads; it starts its own.
        ::pthread_atfork([] { instance().m_mutex.lock(); }, [] { instance().m_mutex.unlock(); },
                         [] {
                             Pool& pool = instance();
                             pool.m_threads = 0;
                             pool.m_idle = 0;
                             pool.m_mutex.unlock();
                         });
    }

    // Never destroyed: detached threads may still finish a lookup while
    // the process exits.
    static Pool& instance() {
        static Pool* pool = new Pool;
        return *pool;
    }

    bool submit(std::int32_t task, std::function<void()> run) {
        std::unique_lock lock(m_mutex);
        m_queue.push_back(Job{task, std::move(run)});
        if (m_idle > static_cast<int>(m_queue.size()) - 1) {
            m_wake.notify_one();
            return true;
        }
        if (m_threads >= LookupThreads)
            return true; // waits for a thread to come free
        try {
            std::thread([this] { work(); }).detach();
            ++m_threads;
        } catch (const std::system_error&) {
            if (m_threads == 0) { // nobody would ever run it
                m_queue.pop_back();
                return false;
            }
        }
        return true;
    }

    bool cancel(std::int32_t task) {
        std::lock_guard lock(m_mutex);
        for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
            if (it->task == task) {
                m_queue.erase(it);
                return true;
            }
        }
        return false;
    }

    int threads() {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }

    std::size_t queued() {
        std::lock_guard lock(m_mutex);
        return m_queue.size();
    }

private:
    void work() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_idle;
            bool hasWork =
                m_wake.wait_for(lock, IdleThreadLifetime, [this] { return !m_queue.empty(); });
            --m_idle;
            if (!hasWork) {
                --m_threads;
                return;
            }
            Job job = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            job.run();
            job.run = nullptr; // its captures end outside the lock
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    int m_threads = 0;
    int m_idle = 0;
};

} // namespace

bool submitLookup(std::int32_t task, std::function<void()> run) {
    return Pool::instance().submit(task, std::move(run));
}

bool cancelLookup(std::int32_t task) {
    return Pool::instance().cancel(task);
}

std::size_t queuedLookups() {
    return Pool::instance().queued();
}

} // namespace platform::winsock::detail

namespace platform::winsock {

int lookupThreadCount() {
    return detail::Pool::instance().threads();
}

} // namespace platform::winsock
