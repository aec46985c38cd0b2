#pragma once

// Shared by the socket tests: error recording, loopback connections,
// children that may use up their descriptors, and memory counts.

#include "net/socket.h"
#include "net/socket_support.h"
#include "platform/error.h"
#include "platform/winsock.h"
#include "support/errors.h"
#include "support/loop.h"
#include "support/memory.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace net_testing {

using testing_support::raised;
using testing_support::runFor;
using testing_support::runUntil;

struct ErrorSeen {
    int count = 0;
    int number = 0;
    std::string description;
    std::string source;
};

inline void recordErrors(const std::shared_ptr<CSocket>& s, ErrorSeen& seen) {
    s->OnError.subscribe([&seen](std::int16_t number, std::string& description, std::int32_t,
                                 std::string source, std::string, std::int32_t, bool&) {
        ++seen.count;
        seen.number = number;
        seen.description = description;
        seen.source = source;
    });
}

// A port on loopback where nothing listens (bound, never listening).
inline int closedPort() {
    auto s = CSocket::create();
    s->Bind(0, "127.0.0.1");
    std::uint32_t address;
    std::uint16_t port;
    platform::winsock::getsockname(s->SocketHandle(), &address, &port);
    return platform::winsock::fromNetworkOrder(port);
}

inline int boundPort(const std::shared_ptr<CSocket>& s) {
    std::uint32_t address;
    std::uint16_t port;
    platform::winsock::getsockname(s->SocketHandle(), &address, &port);
    return platform::winsock::fromNetworkOrder(port);
}

// A listening socket on loopback, a client connected to it, and the
// server's side of the connection (accepted into its own object).
struct Connection {
    std::shared_ptr<CSocket> listener = CSocket::create();
    std::shared_ptr<CSocket> client = CSocket::create();
    std::shared_ptr<CSocket> server = CSocket::create();
    int connectEvents = 0;
    int requests = 0;
    int listenerStateAtRequest = -1;
    int serverStateAfterAccept = -1;

    // Where the listener listens and the client connects to.
    std::string listenAddress = "127.0.0.1";
    std::string connectAddress = "127.0.0.1";

    void open() {
        listener->Bind(0, listenAddress);
        listener->Listen();
        listener->OnConnectionRequest.subscribe([this](std::int32_t requestID) {
            ++requests;
            listenerStateAtRequest = listener->State();
            server->Accept(requestID);
            serverStateAfterAccept = server->State();
        });
        server->OnConnect.subscribe(
            [this] { ADD_FAILURE() << "OnConnect for an accepted socket"; });
        client->OnConnect.subscribe([this] { ++connectEvents; });
        client->Connect(connectAddress, boundPort(listener));
        ASSERT_TRUE(runUntil(
            [&] { return connectEvents == 1 && server->State() == CSocket::StateConnected; }));
    }
};

// Runs `body` in a fresh copy of this test program, which may use up its
// descriptors without harming the other tests; passes if `body` is true.
template <typename F> void expectInChild(F body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(body() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// Failures in a child are told on its standard error.
struct ChildChecks {
    bool ok = true;
    void operator()(bool condition, const char* what) {
        if (!condition) {
            std::fprintf(stderr, "failed: %s\n", what);
            ok = false;
        }
    }
};

// Lowers the descriptor limit so that the next descriptor cannot be made;
// returns the limit as it was.
inline rlimit useUpDescriptors() {
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    int lowestFree = ::dup(2);
    ::close(lowestFree);
    rlimit low = original;
    low.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &low);
    return original;
}

inline double processorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

using testsupport::allocatedBytes;

} // namespace net_testing
