// Start-up and clean-up of the socket-library shim: the granted version,
// the counted users, and the test seams that make either fail.

#include "platform/winsock/internal.h"

#include <csignal>
#include <mutex>
#include <sys/resource.h>

namespace platform::winsock {

namespace {

std::mutex g_startupMutex;
int g_startups = 0;
int g_startupFailure = 0;
int g_cleanupFailure = 0;
std::optional<WSAData> g_startupGrant;

} // namespace

namespace detail {

// Every send also passes MSG_NOSIGNAL; this covers the rest of the process.
void ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

} // namespace detail

using detail::fail;
using detail::ignoreSigpipe;

int WSAStartup(std::uint16_t versionRequested, WSAData& data) {
    std::lock_guard lock(g_startupMutex);
    if (g_startupFailure != 0) {
        detail::setLastError(g_startupFailure);
        return g_startupFailure;
    }
    // Version 1.1 is the highest offered; older requests are refused.
    std::uint8_t major = versionRequested & 0xFF, minor = versionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1)) {
        detail::setLastError(WSAVERNOTSUPPORTED);
        return WSAVERNOTSUPPORTED;
    }
    ignoreSigpipe();
    rlimit limit{};
    unsigned long sockets = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        sockets = limit.rlim_cur;
    data.wVersion = 0x0101;
    data.wHighVersion = 0x0101;
    data.iMaxSockets = static_cast<std::uint16_t>(sockets > 0xFFFF ? 0xFFFF : sockets);
    data.iMaxUdpDg = 65507; // 65535 less the IPv4 and UDP headers
    data.szDescription = "POSIX sockets";
    if (g_startupGrant) {
        data.wVersion = g_startupGrant->wVersion;
        data.iMaxSockets = g_startupGrant->iMaxSockets;
    }
    ++g_startups;
    detail::setLastError(0);
    return 0;
}

int WSACleanup() {
    std::lock_guard lock(g_startupMutex);
    if (g_cleanupFailure != 0)
        return fail(g_cleanupFailure);
    if (g_startups == 0)
        return fail(WSANOTINITIALISED);
    --g_startups;
    return 0;
}

int startupCount() {
    std::lock_guard lock(g_startupMutex);
    return g_startups;
}

void setStartupFailure(int result) {
    std::lock_guard lock(g_startupMutex);
    g_startupFailure = result;
}

void setCleanupFailure(int error) {
    std::lock_guard lock(g_startupMutex);
    g_cleanupFailure = error;
}

void setStartupGrant(std::optional<WSAData> grant) {
    std::lock_guard lock(g_startupMutex);
    g_startupGrant = std::move(grant);
}

} // namespace platform::winsock
