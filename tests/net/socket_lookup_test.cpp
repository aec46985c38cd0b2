// Host lookups and datagrams of the socket object, through a resolver of
// the test's own: no name but the test's is ever looked up.

#include "socket_fixtures.h"

using namespace net_testing;

namespace {

// Answers every name with a fixed result, as a test's own name service,
// after the given delays; counts the lookups and how many ran at once.
class FixedResolver : public platform::winsock::Resolver {
public:
    explicit FixedResolver(int error, double lookupDelay = 0, double reverseDelay = 0)
        : m_error(error), m_lookupDelay(lookupDelay), m_reverseDelay(reverseDelay) {}
    int lookup(const std::string&, platform::winsock::HostEntry& entry) override {
        ++calls;
        int running = ++m_running;
        for (int seen = mostAtOnce;
             running > seen && !mostAtOnce.compare_exchange_weak(seen, running);) {
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(m_lookupDelay));
        --m_running;
        if (m_error)
            return m_error;
        entry.name = "loopback.test";
        std::uint32_t address;
        platform::winsock::parseDottedAddress("127.0.0.1", address);
        entry.addresses = {address};
        for (const std::string& text : all) {
            platform::winsock::InetAddress a;
            platform::winsock::parseAddress(text, a);
            entry.allAddresses.push_back(a);
        }
        return 0;
    }
    std::string reverse(std::uint32_t) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(m_reverseDelay));
        return "slow.test";
    }

    std::vector<std::string> all; // addresses of either family, if any
    std::atomic<int> calls{0};
    std::atomic<int> mostAtOnce{0};

private:
    int m_error;
    double m_lookupDelay;
    double m_reverseDelay;
    std::atomic<int> m_running{0};
};

struct ResolverGuard {
    explicit ResolverGuard(std::shared_ptr<platform::winsock::Resolver> r) {
        platform::winsock::setResolver(std::move(r));
    }
    ~ResolverGuard() { platform::winsock::setResolver(nullptr); }
};

} // namespace

TEST(CSocketLookup, ConnectByNameResolvesFirst) {
    auto listener = CSocket::create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    std::shared_ptr<CSocket> server = CSocket::create();
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) { server->Accept(id); });

    auto s = CSocket::create();
    int connects = 0;
    s->OnConnect.subscribe([&] { ++connects; });
    s->Connect("localhost", boundPort(listener));
    EXPECT_EQ(s->State(), CSocket::StateResolvingHost);
    ASSERT_TRUE(runUntil([&] { return connects == 1; }));
    EXPECT_EQ(s->State(), CSocket::StateConnected);
    EXPECT_EQ(s->RemoteHost(), "localhost");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
}

TEST(CSocketLookup, InjectedResolverNamesTheHost) {
    ResolverGuard guard(std::make_shared<FixedResolver>(0));
    auto listener = CSocket::create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    auto s = CSocket::create();
    int connects = 0;
    s->OnConnect.subscribe([&] { ++connects; });
    s->Connect("service.invalid", boundPort(listener));
    ASSERT_TRUE(runUntil([&] { return connects == 1; }));
    EXPECT_EQ(s->RemoteHost(), "loopback.test");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
}

TEST(CSocketLookup, AddressesAreTriedInOrderUntilOneConnects) {
    auto resolver = std::make_shared<FixedResolver>(0);
    resolver->all = {"127.0.0.1", "::1"};
    ResolverGuard guard(resolver);
    // Nothing can listen on the IPv4 side of the port while the blocker
    // holds it; a port whose IPv4 side is in use already is passed over.
    auto listener = CSocket::create();
    auto blocker = CSocket::create();
    for (int tries = 0; blocker->SocketHandle() == -1 && tries < 20; ++tries) {
        listener->Abort();
        listener->Bind(0, "::1");
        try {
            blocker->Bind(boundPort(listener), "127.0.0.1");
        } catch (const platform::Error&) {
            blocker->Abort();
        }
    }
    listener->Listen();

    auto s = CSocket::create();
    int connects = 0;
    ErrorSeen seen;
    recordErrors(s, seen);
    s->OnConnect.subscribe([&] { ++connects; });
    s->Connect("service.invalid", boundPort(listener));
    ASSERT_TRUE(runUntil([&] { return connects == 1 || seen.count > 0; }));
    EXPECT_EQ(seen.count, 0);
    EXPECT_EQ(s->RemoteHostIP(), "::1");
    EXPECT_EQ(s->LocalIP(), "::1");

    // When every address fails, the last failure is the one reported.
    listener->CloseSocket();
    auto failing = CSocket::create();
    recordErrors(failing, seen);
    failing->Connect("service.invalid", boundPort(blocker));
    ASSERT_TRUE(runUntil([&] { return seen.count > 0; }));
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.number, 10061);
    EXPECT_EQ(failing->RemoteHostIP(), "::1");
    EXPECT_EQ(failing->State(), CSocket::StateError);
}

TEST(CSocketLookup, FailedLookupRaisesOnError) {
    ResolverGuard guard(std::make_shared<FixedResolver>(11001));
    auto s = CSocket::create();
    ErrorSeen seen;
    recordErrors(s, seen);
    s->Connect("no-such-host.invalid", 21);
    EXPECT_EQ(s->State(), CSocket::StateResolvingHost);
    ASSERT_TRUE(runUntil([&] { return seen.count > 0; }));
    EXPECT_EQ(seen.number, 11001);
    EXPECT_EQ(seen.description, "Host not found.");
    EXPECT_EQ(seen.source, "");
    EXPECT_EQ(s->State(), CSocket::StateError);
    EXPECT_EQ(MSocketSupport::PendingLookups(), 0u);
}

TEST(CSocketLookup, CloseWhileResolvingCancelsTheConnect) {
    ResolverGuard guard(std::make_shared<FixedResolver>(0));
    auto listener = CSocket::create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    int requests = 0;
    listener->OnConnectionRequest.subscribe([&](std::int32_t) { ++requests; });
    auto s = CSocket::create();
    ErrorSeen seen;
    recordErrors(s, seen);
    s->Connect("service.invalid", boundPort(listener));
    s->CloseSocket();
    EXPECT_EQ(s->State(), CSocket::StateClosed);
    runFor(0.3);
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(seen.count, 0);
    EXPECT_EQ(s->State(), CSocket::StateClosed);
}

TEST(CSocketLookup, OnlyTheCurrentLookupIsActedOn) {
    auto listener = CSocket::create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    std::vector<std::shared_ptr<CSocket>> servers;
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) {
        servers.push_back(CSocket::create());
        servers.back()->Accept(id);
    });
    for (int failing : {11001, 0}) {
        ResolverGuard guard(std::make_shared<FixedResolver>(failing, 0.1));
        auto s = CSocket::create();
        ErrorSeen seen;
        recordErrors(s, seen);
        int connects = 0;
        s->OnConnect.subscribe([&] { ++connects; });
        s->Connect("service.invalid", boundPort(listener));
        if (failing)
            s->CloseSocket(); // forgets the lookup as well
        s->Connect("127.0.0.1", boundPort(listener));
        ASSERT_TRUE(runUntil([&] { return connects == 1; }));
        runFor(0.3); // the old answer has come meanwhile
        EXPECT_EQ(connects, 1) << failing;
        EXPECT_EQ(seen.count, 0) << failing;
        EXPECT_EQ(s->State(), CSocket::StateConnected) << failing;
    }
}

TEST(CSocketLookup, AbandonedLookupsWaitForAFewThreadsAndAreDropped) {
    auto resolver = std::make_shared<FixedResolver>(0, 0.3);
    ResolverGuard guard(resolver);
    {
        std::vector<std::shared_ptr<CSocket>> sockets;
        for (int i = 0; i < 40; ++i) {
            sockets.push_back(CSocket::create());
            sockets.back()->Connect("service.invalid", 9);
        }
        EXPECT_LE(platform::winsock::lookupThreadCount(), platform::winsock::LookupThreads);
        sockets.front()->CloseSocket();
    } // the rest are released
    runFor(0.5);
    EXPECT_LE(resolver->mostAtOnce.load(), platform::winsock::LookupThreads);
    EXPECT_LE(resolver->calls.load(), platform::winsock::LookupThreads);
    EXPECT_EQ(MSocketSupport::PendingLookups(), 0u);
}

TEST(CSocketLookup, ReverseLookupsNeverHoldTheLoop) {
    ResolverGuard guard(std::make_shared<FixedResolver>(0, 0, 1.5));
    auto start = platform::Clock::now();
    auto since = [&] {
        return std::chrono::duration<double>(platform::Clock::now() - start).count();
    };
    Connection c;
    c.open();
    EXPECT_LT(since(), 0.5);
    EXPECT_EQ(c.client->LocalHostName(), "127.0.0.1"); // no name in time: the address

    auto receiver = CSocket::create();
    receiver->setProtocol(CSocket::ProtocolUdp);
    receiver->Bind(0, "127.0.0.1");
    auto sender = CSocket::create();
    sender->setProtocol(CSocket::ProtocolUdp);
    sender->setRemoteHost("127.0.0.1");
    sender->setRemotePort(boundPort(receiver));
    int arrivals = 0;
    receiver->OnDataArrival.subscribe([&](std::int32_t) { ++arrivals; });
    start = platform::Clock::now();
    sender->SendData(std::string("ping"));
    ASSERT_TRUE(runUntil([&] { return arrivals == 1; }));
    EXPECT_LT(since(), 0.5);
    EXPECT_EQ(receiver->RemoteHost(), "127.0.0.1");
}

TEST(CSocketDatagram, SendAndReceiveFillTheSender) {
    auto receiver = CSocket::create();
    receiver->setProtocol(CSocket::ProtocolUdp);
    receiver->Bind(0, "127.0.0.1");
    auto sender = CSocket::create();
    sender->setProtocol(CSocket::ProtocolUdp);
    sender->Bind(0, "127.0.0.1");
    sender->setRemoteHost("127.0.0.1");
    sender->setRemotePort(boundPort(receiver));
    EXPECT_EQ(sender->RemoteHostIP(), "127.0.0.1");

    int arrivals = 0, completions = 0;
    receiver->OnDataArrival.subscribe([&](std::int32_t) { ++arrivals; });
    sender->OnSendComplete.subscribe([&] { ++completions; });
    sender->SendData(std::string("ping"));
    ASSERT_TRUE(runUntil([&] { return arrivals == 1 && completions == 1; }));
    Variant data;
    receiver->GetData(data);
    EXPECT_EQ(std::get<std::string>(data), "ping");
    EXPECT_EQ(receiver->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(receiver->RemotePort(), boundPort(sender));
    EXPECT_FALSE(receiver->RemoteHost().empty());
}

TEST(CSocketDatagram, IPv6RoundTrip) {
    auto receiver = CSocket::create();
    receiver->setProtocol(CSocket::ProtocolUdp);
    receiver->Bind(0, "::1");
    auto sender = CSocket::create();
    sender->setProtocol(CSocket::ProtocolUdp);
    sender->setRemoteHost("[::1]");
    sender->setRemotePort(boundPort(receiver));
    EXPECT_EQ(sender->RemoteHostIP(), "::1");
    int arrivals = 0;
    receiver->OnDataArrival.subscribe([&](std::int32_t) { ++arrivals; });
    sender->SendData(std::string("ping"));
    ASSERT_TRUE(runUntil([&] { return arrivals == 1; }));
    Variant data;
    receiver->GetData(data);
    EXPECT_EQ(std::get<std::string>(data), "ping");
    EXPECT_EQ(receiver->RemoteHostIP(), "::1");
    EXPECT_EQ(receiver->RemoteHost(), "::1");

    // The answer goes back to where the datagram came from.
    receiver->SendData(std::string("pong"));
    ASSERT_TRUE(runUntil([&] { return sender->BytesReceived() == 4; }));
    sender->GetData(data);
    EXPECT_EQ(std::get<std::string>(data), "pong");

    // A socket bound to "::" serves IPv4 peers too, by their IPv4 address.
    auto both = CSocket::create();
    both->setProtocol(CSocket::ProtocolUdp);
    both->Bind(0, "::");
    auto v4 = CSocket::create();
    v4->setProtocol(CSocket::ProtocolUdp);
    v4->setRemoteHost("127.0.0.1");
    v4->setRemotePort(boundPort(both));
    v4->SendData(std::string("ping"));
    ASSERT_TRUE(runUntil([&] { return both->BytesReceived() == 4; }));
    both->GetData(data);
    EXPECT_EQ(both->RemoteHostIP(), "127.0.0.1");
    both->SendData(std::string("pong"));
    ASSERT_TRUE(runUntil([&] { return v4->BytesReceived() == 4; }));
}

TEST(CSocketDatagram, NamedDestinationIsLookedUpBeforeSending) {
    ResolverGuard guard(std::make_shared<FixedResolver>(0));
    auto receiver = CSocket::create();
    receiver->setProtocol(CSocket::ProtocolUdp);
    receiver->Bind(0, "127.0.0.1");
    auto sender = CSocket::create();
    sender->setProtocol(CSocket::ProtocolUdp);
    sender->setRemoteHost("service.invalid");
    sender->setRemotePort(boundPort(receiver));
    std::vector<std::pair<int, int>> progress;
    int completions = 0, arrivals = 0;
    sender->OnSendProgress.subscribe(
        [&](std::int32_t s, std::int32_t r) { progress.emplace_back(s, r); });
    sender->OnSendComplete.subscribe([&] { ++completions; });
    receiver->OnDataArrival.subscribe([&](std::int32_t) { ++arrivals; });
    sender->SendData(std::string("hello"));
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0], std::make_pair(0, 5));
    ASSERT_TRUE(runUntil([&] { return completions == 1 && arrivals == 1; }));
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[1], std::make_pair(5, 0));
    EXPECT_EQ(sender->RemoteHostIP(), "127.0.0.1");
}

TEST(CSocketDatagram, BroadcastFollowsTheRemoteAddress) {
    auto s = CSocket::create();
    s->setProtocol(CSocket::ProtocolUdp);
    auto broadcastOption = [&] {
        int value = -1;
        platform::winsock::getsockopt(s->SocketHandle(), platform::winsock::SOL_SOCKET_,
                                      platform::winsock::SO_BROADCAST_, &value);
        return value;
    };
    s->setRemoteHost("10.0.0.255"); // nothing is sent: only the option changes
    EXPECT_NE(s->SocketHandle(), -1);
    EXPECT_EQ(broadcastOption(), 1);
    s->setRemoteHost("some.name"); // a name changes nothing
    EXPECT_EQ(broadcastOption(), 1);
    EXPECT_EQ(s->RemoteHostIP(), "10.0.0.255");
    s->setRemoteHost("10.0.0.7");
    EXPECT_EQ(broadcastOption(), 0);
}
