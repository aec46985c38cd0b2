// Host names in the socket-library shim: the replaceable resolver and the
// background lookups whose completions are posted to a window.

#include "platform/winsock/internal.h"

#include <atomic>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>

namespace platform::winsock {

using namespace detail;

namespace {

std::mutex g_resolverMutex;
std::shared_ptr<Resolver> g_resolver;
std::atomic<std::int32_t> g_lastTask{0};

class SystemResolver : public Resolver {
public:
    int lookup(const std::string& name, HostEntry& entry) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
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
            if (ai->ai_family == AF_INET)
                entry.addresses.push_back(
                    reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
        }
        ::freeaddrinfo(result);
        if (entry.name.empty())
            entry.name = name;
        return entry.addresses.empty() ? WSANO_DATA : 0;
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
    std::int32_t task = ++g_lastTask;
    if (task <= 0) { // wrapped around: task handles stay positive
        g_lastTask = 1;
        task = 1;
    }
    auto resolver = currentResolver();
    try {
        std::thread([resolver, name, buffer, window, message, task] {
            HostEntry entry;
            int error = resolver->lookup(name, entry);
            if (error == 0)
                *buffer = std::move(entry);
            EventLoop::instance().postMessageFromAnyThread(
                window, message, task, static_cast<std::intptr_t>(error & 0xFFFF) << 16);
        }).detach();
    } catch (const std::system_error&) {
        setLastError(WSAENOBUFS);
        return 0;
    }
    return task;
}

bool gethostbyaddr(std::uint32_t address, std::string& name) {
    name = currentResolver()->reverse(address);
    if (name.empty()) {
        setLastError(WSAHOST_NOT_FOUND);
        return false;
    }
    return true;
}

} // namespace platform::winsock
