// CSocket connections: listening, accepting and connecting over IPv4 and
// IPv6, a security layer on the stream, descriptor exhaustion, and the
// failures a connect can meet.
#include "socket_fixtures.h"

#include "net/secure_channel.h"
#include "platform/winsock.h"

using namespace net_testing;

namespace {

std::string flipped(std::string text) {
    for (char& c : text)
        c = static_cast<char>(~c);
    return text;
}

// A stand-in security layer: every bit flipped on the wire, the handshake
// done with the first bytes read; until then it takes nothing to write.
class FlippingLayer : public SecureChannel {
public:
    explicit FlippingLayer(int socket) : m_socket(socket) {}
    bool handshake() override { return m_done; }
    int read(std::uint8_t* data, int length) override {
        const int n = platform::winsock::recv(m_socket, data, length);
        for (int i = 0; i < n; ++i)
            data[i] = static_cast<std::uint8_t>(~data[i]);
        m_done = m_done || n > 0;
        return n < 0 ? -1 : n;
    }
    int write(const std::uint8_t* data, int length) override {
        m_waited = !m_done;
        if (m_waited)
            return -1;
        std::string wire(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        const int n = platform::winsock::send(m_socket, flipped(wire).data(), length);
        return n < 0 ? -1 : n;
    }
    bool pending() const override { return false; }
    bool readWantsWrite() const override { return false; }
    bool writeWantsRead() const override { return m_waited; }
    bool close() override { return m_done; }
    std::string description() const override { return "flipped"; }

private:
    int m_socket;
    bool m_done = false;
    bool m_waited = false; // the last write waited for the handshake
};

} // namespace

// The events of a socket with a security layer carry the plain bytes;
// what is sent during the handshake waits for its end, all of it and in
// order, and so does a close asked for meanwhile.
TEST(CSocketConnection, ASecurityLayerCarriesPlainBytesAndItsCloseWaitsForTheHandshake) {
    auto closed = CSocket::create();
    EXPECT_EQ(raised([&] { closed->StartSecure(std::make_shared<FlippingLayer>(-1)); }).number(),
              40006);
    Connection c;
    c.open();
    c.client->StartSecure(std::make_shared<FlippingLayer>(c.client->SocketHandle()));
    std::string atServer, atClient;
    bool serverClosed = false;
    c.server->OnDataArrival.subscribe([&](std::int32_t) {
        Variant v;
        c.server->GetData(v);
        atServer += std::get<std::string>(v);
    });
    c.server->OnClose.subscribe([&] { serverClosed = true; });
    c.client->OnDataArrival.subscribe([&](std::int32_t) {
        Variant v;
        c.client->GetData(v);
        atClient += std::get<std::string>(v);
    });
    c.client->SendData(std::string("abc"));
    c.client->SendData(std::string("def"));
    c.client->CloseSocket();
    runFor(0.3);
    EXPECT_EQ(atServer, ""); // the handshake has not ended
    EXPECT_FALSE(serverClosed);
    c.server->SendData(flipped("hi"));
    ASSERT_TRUE(runUntil([&] { return atClient == "hi"; }));
    EXPECT_TRUE(runUntil([&] { return serverClosed; })); // the held close went out
    EXPECT_EQ(atServer, flipped("abcdef"));
}

TEST(CSocketConnection, ListenAcceptConnectAndAddresses) {
    Connection c;
    EXPECT_EQ(c.client->State(), CSocket::StateClosed);
    c.open();
    EXPECT_EQ(c.requests, 1);
    EXPECT_EQ(c.listenerStateAtRequest, CSocket::StateListening);
    EXPECT_EQ(c.listener->State(), CSocket::StateListening);
    EXPECT_EQ(c.serverStateAfterAccept, CSocket::StateConnected);
    EXPECT_EQ(c.client->State(), CSocket::StateConnected);
    // The dotted path never looks anything up.
    EXPECT_EQ(c.client->RemoteHostIP(), "");
    EXPECT_EQ(c.client->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(c.client->LocalIP(), "127.0.0.1");
    EXPECT_NE(c.client->LocalPort(), 0);
    EXPECT_FALSE(c.client->LocalHostName().empty());
    // The accepted side takes its addresses from the connection.
    EXPECT_EQ(c.server->LocalHostName(), c.server->LocalIP());
    EXPECT_EQ(c.server->RemoteHost(), c.server->RemoteHostIP());
    EXPECT_EQ(c.server->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(c.server->RemotePort(), c.client->LocalPort());
    EXPECT_EQ(c.server->Protocol(), CSocket::ProtocolTcp);
    // Listening on port 0 leaves LocalPort as it was.
    EXPECT_EQ(c.listener->LocalPort(), 0);
    EXPECT_EQ(c.client->PeerAddress(),
              (SocketAddress{SocketAddress::IPv4, "127.0.0.1", boundPort(c.listener)}));
    EXPECT_EQ(c.server->PeerAddress().port, c.client->LocalPort());
    EXPECT_EQ(c.listener->PeerAddress(), SocketAddress{}); // not connected
}

TEST(CSocketConnection, IPv6ConnectionCarriesDataAndNamesItsAddresses) {
    Connection c;
    c.listenAddress = "::1";
    c.connectAddress = "[::1]";
    c.open();
    EXPECT_EQ(c.client->LocalIP(), "::1");
    EXPECT_EQ(c.server->LocalIP(), "::1");
    EXPECT_EQ(c.server->RemoteHostIP(), "::1");
    EXPECT_EQ(c.server->RemotePort(), c.client->LocalPort());
    EXPECT_EQ(c.client->PeerAddress().family, SocketAddress::IPv6);
    EXPECT_EQ(c.client->PeerAddress().ip, "::1");
    std::string got;
    c.server->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        c.server->GetData(data);
        got += std::get<std::string>(data);
        if (got == "ping")
            c.server->SendData(std::string("pong"));
    });
    int answers = 0;
    c.client->OnDataArrival.subscribe([&](std::int32_t) { ++answers; });
    c.client->SendData(std::string("ping"));
    ASSERT_TRUE(runUntil([&] { return answers == 1; }));
    Variant answer;
    c.client->GetData(answer);
    EXPECT_EQ(std::get<std::string>(answer), "pong");

    // A listener on "::" takes both families; an IPv4 peer keeps its IPv4 address.
    Connection both;
    both.listenAddress = "::";
    both.open();
    EXPECT_EQ(both.server->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(both.server->PeerAddress().family, SocketAddress::IPv4);
    EXPECT_EQ(both.client->LocalIP(), "127.0.0.1");
}

TEST(CSocketConnection, OutOfDescriptorsTheListenerReportsOnceAndResumes) {
    expectInChild([] {
        ChildChecks check;
        auto listener = CSocket::create();
        listener->Bind(0, "127.0.0.1");
        listener->Listen();
        int refused = 0;
        std::vector<std::shared_ptr<CSocket>> servers;
        listener->OnConnectionRequest.subscribe([&](std::int32_t id) {
            if (id < 0) {
                ++refused;
                return;
            }
            servers.push_back(CSocket::create());
            servers.back()->Accept(id);
        });
        std::vector<int> clients;
        for (int i = 0; i < 3; ++i)
            clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(boundPort(listener)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rlimit original = useUpDescriptors();
        for (int fd : clients)
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        double before = processorSeconds();
        runFor(1.0);
        check(refused == 1, "one report of the refused requests");
        check(processorSeconds() - before < 0.2, "the loop stays quiet while it backs off");
        check(servers.empty(), "nothing accepted without descriptors");
        ::setrlimit(RLIMIT_NOFILE, &original);
        check(runUntil([&] { return servers.size() == 3; }, 3), "waiting requests accepted");
        return check.ok;
    });
}

TEST(CSocketConnection, OnlyRequestsOnOfferAreAcceptedAndTheRestClosed) {
    auto s = CSocket::create();
    const std::size_t registered = MSocketSupport::RegisteredSockets();
    auto e = raised([&] { s->Accept(-1); });
    EXPECT_EQ(e.number(), 10038);
    EXPECT_EQ(e.source(), "CSocket.Accept");
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(MSocketSupport::RegisteredSockets(), registered);

    // A request the handler does not accept is closed when it returns.
    auto listener = CSocket::create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    int requests = 0, closes = 0, request = -1;
    SocketAddress peer;
    listener->OnConnectionRequest.subscribe([&](std::int32_t requestID) {
        ++requests;
        request = requestID;
        peer = CSocket::RequestPeerAddress(requestID);
    });
    auto client = CSocket::create();
    client->OnClose.subscribe([&] { ++closes; });
    client->Connect("127.0.0.1", boundPort(listener));
    ASSERT_TRUE(runUntil([&] { return closes == 1; }));
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(peer, (SocketAddress{SocketAddress::IPv4, "127.0.0.1", client->LocalPort()}));
    EXPECT_EQ(CSocket::RequestPeerAddress(request), SocketAddress{}); // no longer on offer
}

TEST(CSocketConnect, RefusedConnectionRaisesOnError) {
    auto s = CSocket::create();
    ErrorSeen seen;
    recordErrors(s, seen);
    s->Connect("127.0.0.1", closedPort());
    EXPECT_EQ(s->State(), CSocket::StateConnecting);
    ASSERT_TRUE(runUntil([&] { return seen.count > 0; }));
    EXPECT_EQ(seen.number, 10061);
    EXPECT_EQ(seen.description, "Connection refused.");
    EXPECT_EQ(seen.source, "");
    EXPECT_EQ(s->State(), CSocket::StateError);
    EXPECT_EQ(s->SocketHandle(), -1);
}

TEST(CSocketConnect, MissingHostAndBadPortsAreRaised) {
    auto s = CSocket::create();
    auto e = raised([&] { s->Connect(); });
    EXPECT_EQ(e.number(), 10049);
    EXPECT_EQ(e.description(), "Cannot assign requested address.");
    EXPECT_EQ(e.source(), "CSocket.CSocket.Connect");
    EXPECT_EQ(s->State(), CSocket::StateClosed);
    EXPECT_NE(s->SocketHandle(), -1); // a socket now exists

    for (std::int64_t port : {-1LL, 65536LL, 5000000000LL}) {
        auto t = CSocket::create();
        e = raised([&] { t->Connect("127.0.0.1", port); });
        EXPECT_EQ(e.number(), 6) << port;
        EXPECT_EQ(e.source(), "CSocket.CSocket.Connect");
    }
    // With a name as well: before any lookup starts.
    auto named = CSocket::create();
    e = raised([&] { named->Connect("localhost", 70000); });
    EXPECT_EQ(e.number(), 6);
    EXPECT_EQ(e.source(), "CSocket.CSocket.Connect");
    EXPECT_EQ(named->State(), CSocket::StateClosed);
    EXPECT_EQ(MSocketSupport::PendingLookups(), 0u);
    auto b = CSocket::create();
    b->setLocalPort(70000);
    e = raised([&] { b->Bind(); });
    EXPECT_EQ(e.number(), 6);
    EXPECT_EQ(e.source(), "CSocket.Bind");

    auto bad = CSocket::create();
    e = raised([&] { bad->Bind(0, "not.an.address"); });
    EXPECT_EQ(e.source(), "CSocket.Bind");
    EXPECT_EQ(e.number(), 10022);
}

TEST(CSocketConnect, NoSocketLeftIsRaisedByTheMethod) {
    expectInChild([] {
        ChildChecks check;
        auto connecting = CSocket::create();
        auto binding = CSocket::create();
        auto listening = CSocket::create();
        auto datagram = CSocket::create();
        datagram->setProtocol(CSocket::ProtocolUdp);
        datagram->setRemotePort(9);
        platform::EventLoop::instance();
        auto failsWith = [&](const char* source, auto call) {
            try {
                call();
            } catch (const platform::Error& e) {
                return e.number() == 10024 && e.source() == source &&
                       e.description() == "Too many open files.";
            }
            return false;
        };
        {
            // A sanitizer's type check needs a descriptor the first time it
            // meets a type: let it meet them all before none is left.
            failsWith("CSocket.Bind", [] { CSocket::create()->Bind(0, "not.an.address"); });
            CSocket::create()->Listen();
            CSocket::create()->Connect("127.0.0.1", 9);
            auto warm = CSocket::create();
            warm->setProtocol(CSocket::ProtocolUdp);
            warm->setRemoteHost("127.0.0.1");
            warm->setRemotePort(9);
            warm->SendData(std::string("x"));
        }
        useUpDescriptors();
        check(failsWith("CSocket.CSocket.Connect", [&] { connecting->Connect("127.0.0.1", 9); }),
              "Connect");
        check(failsWith("CSocket.Bind", [&] { binding->Bind(0, "127.0.0.1"); }), "Bind");
        check(failsWith("CSocket.Listen", [&] { listening->Listen(); }), "Listen");
        check(failsWith("CSocket.SendData", [&] { datagram->SendData(std::string("x")); }),
              "datagram SendData");
        return check.ok;
    });
}

TEST(CSocketConnect, BindConflictIsReportedWithItsText) {
    auto first = CSocket::create();
    first->Bind(0, "127.0.0.1");
    first->Listen();
    auto second = CSocket::create();
    auto e = raised([&] { second->Bind(boundPort(first), "127.0.0.1"); });
    EXPECT_EQ(e.number(), 10048);
    EXPECT_EQ(e.description(), "Address already in use.");
    EXPECT_EQ(e.source(), "CSocket.Bind");
}

TEST(CSocketConnect, SendWithoutSocketIsWrongState) {
    auto s = CSocket::create();
    auto e = raised([&] { s->SendData(std::string("x")); });
    EXPECT_EQ(e.number(), 40006);
    EXPECT_EQ(e.description(),
              "Wrong protocol or connection state for the requested transaction or request.");
    EXPECT_EQ(e.source(), "CSocket.SendData");
}

TEST(CSocketConnect, ProtocolIsFixedOnceASocketExists) {
    auto s = CSocket::create();
    s->setProtocol(CSocket::ProtocolUdp);
    EXPECT_EQ(s->Protocol(), CSocket::ProtocolUdp);
    s->Bind(0, "127.0.0.1");
    s->setProtocol(CSocket::ProtocolTcp);
    EXPECT_EQ(s->Protocol(), CSocket::ProtocolUdp);
}
