// Host names in the socket-library shim: the replaceable resolver, forward
// lookups whose completions are posted to a window, and the names of
// addresses, answered from what earlier lookups found and never waited for.

#include "platform/winsock/internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <unordered_map>

namespace platform::winsock {

using namespace detail;

namespace {

std::mutex g_resolverMutex;
std::shared_ptr<Resolver> g_resolver;
std::atomic<std::int32_t> g_lastTask{0};

std::int32_t nextTask() {
    std::int32_t task = ++g_lastTask;
    if (task <= 0) { // wrapped around: task handles stay positive
        g_lastTask = 1;
        task = 1;
    }
    return task;
}

// The names of addresses, as lookups found them ("" = the address has
// none). Bounded, and forgotten after a while or when the resolver changes.
class NameCache {
public:
    static constexpr std::size_t MaxEntries = 256;
    static constexpr auto Lifetime = std::chrono::minutes(10);

    // True with the name if an answer is known; false if not, and then
    // `startLookup` is true if nobody is looking it up yet (it now is).
    bool find(std::uint32_t address, std::string& name, bool& startLookup,
              std::uint64_t& generation) {
        std::lock_guard lock(m_mutex);
        generation = m_generation;
        auto now = std::chrono::steady_clock::now();
        auto it = m_entries.find(address);
        if (it != m_entries.end() && it->second.known && now - it->second.at < Lifetime) {
            name = it->second.name;
            startLookup = false;
            return true;
        }
        startLookup = it == m_entries.end() || it->second.known || now - it->second.at >= Lifetime;
        if (startLookup) {
            makeRoom();
            m_entries[address] = Entry{false, {}, now};
        }
        return false;
    }

    void store(std::uint32_t address, const std::string& name, std::uint64_t generation) {
        std::lock_guard lock(m_mutex);
        if (generation != m_generation)
            return; // asked of a resolver that has been replaced since
        makeRoom();
        m_entries[address] = Entry{true, name, std::chrono::steady_clock::now()};
    }

    void forgetUnfinished(std::uint32_t address, std::uint64_t generation) {
        std::lock_guard lock(m_mutex);
        auto it = m_entries.find(address);
        if (generation == m_generation && it != m_entries.end() && !it->second.known)
            m_entries.erase(it);
    }

    std::uint64_t clear() {
        std::lock_guard lock(m_mutex);
        m_entries.clear();
        return ++m_generation;
    }

    std::uint64_t generation() {
        std::lock_guard lock(m_mutex);
        return m_generation;
    }

private:
    struct Entry {
        bool known;
        std::string name;
        std::chrono::steady_clock::time_point at;
    };

    void makeRoom() {
        if (m_entries.size() >= MaxEntries)
            m_entries.clear();
    }

    std::mutex m_mutex;
    std::unordered_map<std::uint32_t, Entry> m_entries;
    std::uint64_t m_generation = 0;
};

constexpr std::size_t MaxQueuedNameLookups = 64;

NameCache& names() {
    static auto* cache = new NameCache; // background lookups may outlive main
    return *cache;
}

class SystemResolver : public Resolver {
public:
    int lookup(const std::string& name, HostEntry& entry) override {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* result = nullptr;
        int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
        if (rc != 0)
            return errorFromLookup(rc);
        entry = HostEntry{};
        for (addrinfo* ai = result; ai; ai = ai->ai_next) {
            if (ai->ai_canonname && entry.name.empty())
                entry.name = ai->ai_canonname;
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
                continue;
            sockaddr_storage sa{};
            std::memcpy(&sa, ai->ai_addr, std::min<std::size_t>(ai->ai_addrlen, sizeof sa));
            InetAddress address;
            splitAddress(sa, &address, nullptr);
            if (address.family == AF_INET_)
                entry.addresses.push_back(address.ipv4());
            entry.allAddresses.push_back(address);
        }
        ::freeaddrinfo(result);
        if (entry.name.empty())
            entry.name = name;
        return entry.allAddresses.empty() ? WSANO_DATA : 0;
    }

    std::string reverse(std::uint32_t address) override {
        sockaddr_in sa = makeAddress(address, 0);
        char host[NI_MAXHOST];
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                          0, NI_NAMEREQD) != 0)
            return {};
        return host;
    }
};

} // namespace

std::shared_ptr<Resolver> systemResolver() {
    static auto resolver = std::make_shared<SystemResolver>();
    return resolver;
}

void setResolver(std::shared_ptr<Resolver> resolver) {
    std::lock_guard lock(g_resolverMutex);
    g_resolver = std::move(resolver);
    names().clear();
}

std::shared_ptr<Resolver> currentResolver() {
    std::lock_guard lock(g_resolverMutex);
    return g_resolver ? g_resolver : systemResolver();
}

std::int32_t WSAAsyncGetHostByName(WindowHandle window, MessageId message, const std::string& name,
                                   std::shared_ptr<HostEntry> buffer) {
    if (!buffer || !EventLoop::instance().isWindow(window)) {
        setLastError(WSAEINVAL);
        return 0;
    }
    std::int32_t task = nextTask();
    auto resolver = currentResolver();
    std::uint64_t generation = names().generation();
    bool queued = submitLookup(task, [resolver, name, buffer, window, message, task, generation] {
        HostEntry entry;
        int error = resolver->lookup(name, entry);
        if (error == 0) {
            // The official name is the name of the address it gave.
            if (!entry.addresses.empty())
                names().store(entry.addresses.front(), entry.name, generation);
            *buffer = std::move(entry);
        }
        EventLoop::instance().postMessageFromAnyThread(
            window, message, task, static_cast<std::intptr_t>(error & 0xFFFF) << 16);
    });
    if (!queued) {
        setLastError(WSAENOBUFS);
        return 0;
    }
    return task;
}

int WSACancelAsyncRequest(std::int32_t task) {
    if (task > 0 && cancelLookup(task))
        return 0;
    return fail(WSAEINVAL);
}

bool knownHostName(std::uint32_t address, std::string& name) {
    bool startLookup = false;
    std::uint64_t generation = 0;
    if (names().find(address, name, startLookup, generation))
        return true;
    // Datagrams from many senders must not pile up lookups nobody waits for.
    if (startLookup && queuedLookups() >= MaxQueuedNameLookups) {
        names().forgetUnfinished(address, generation);
        startLookup = false;
    }
    if (startLookup) {
        auto resolver = currentResolver();
        bool queued = submitLookup(nextTask(), [resolver, address, generation] {
            names().store(address, resolver->reverse(address), generation);
        });
        if (!queued)
            names().forgetUnfinished(address, generation);
    }
    setLastError(WSANO_DATA);
    return false;
}

} // namespace platform::winsock
