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

TEST(CSocketData, ArrivalReportsEverythingWaiting) {
    Connection c;
    c.open();
    std::vector<int> totals;
    c.client->OnDataArrival.subscribe([&](std::int32_t total) { totals.push_back(total); });
    c.server->SendData(std::string("abc"));
    ASSERT_TRUE(runUntil([&] { return totals.size() == 1; }));
    c.server->SendData(std::string("defgh"));
    ASSERT_TRUE(runUntil([&] { return totals.size() == 2; }));
    EXPECT_EQ(totals, (std::vector<int>{3, 8}));
    EXPECT_EQ(c.client->BytesReceived(), 8);

    Variant text;
    c.client->PeekData(text, std::nullopt, 4);
    EXPECT_EQ(std::get<std::string>(text), "abcd");
    EXPECT_EQ(c.client->BytesReceived(), 8);
    c.client->GetData(text);
    EXPECT_EQ(std::get<std::string>(text), "abcdefgh");
    EXPECT_EQ(c.client->BytesReceived(), 0);

    // Nothing waiting: the value stays as it was.
    Variant untouched = std::int32_t(42);
    c.client->GetData(untouched);
    EXPECT_EQ(std::get<std::int32_t>(untouched), 42);
}

TEST(CSocketData, LargeSendReportsProgressThenOneCompletion) {
    Connection c;
    c.open();
    const std::size_t size = 1 << 20;
    ByteArray block(size);
    for (std::size_t i = 0; i < size; ++i)
        block[i] = static_cast<std::uint8_t>(i * 7 + 3);

    std::vector<std::pair<int, int>> progress;
    int completions = 0;
    bool completedInsideSendData = false;
    bool insideSendData = false;
    c.client->OnSendProgress.subscribe(
        [&](std::int32_t sent, std::int32_t remaining) { progress.emplace_back(sent, remaining); });
    c.client->OnSendComplete.subscribe([&] {
        ++completions;
        completedInsideSendData = completedInsideSendData || insideSendData;
    });

    ByteArray received;
    c.server->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        c.server->GetData(data, vartype::ByteArray);
        auto& bytes = std::get<ByteArray>(data);
        received.insert(received.end(), bytes.begin(), bytes.end());
    });

    insideSendData = true;
    c.client->SendData(block);
    insideSendData = false;
    ASSERT_TRUE(runUntil([&] { return completions == 1 && received.size() == size; }));
    runFor(0.2); // no second completion trails behind
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(completedInsideSendData);
    ASSERT_FALSE(progress.empty());
    long total = 0;
    for (auto& p : progress)
        total += p.first;
    EXPECT_EQ(total, static_cast<long>(size));
    EXPECT_EQ(progress.back().second, 0);
    EXPECT_TRUE(received == block);
}

TEST(CSocketData, PiecesSentFromCompletionsCostFewLoopCalls) {
    Connection c;
    c.open();
    const int pieces = 256;
    const ByteArray piece(1460, 'p');
    int completions = 0;
    bool insideSendData = false, completedInsideSendData = false;
    c.client->OnSendComplete.subscribe([&] {
        completedInsideSendData = completedInsideSendData || insideSendData;
        if (++completions < pieces) {
            insideSendData = true;
            c.client->SendData(piece);
            insideSendData = false;
        }
    });
    std::size_t received = 0;
    c.server->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        c.server->GetData(data, vartype::ByteArray);
        received += std::get<ByteArray>(data).size();
    });
    auto& loop = platform::EventLoop::instance();
    const auto before = loop.systemCalls();
    c.client->SendData(piece);
    ASSERT_TRUE(runUntil([&] { return received == pieces * piece.size(); }));
    const auto after = loop.systemCalls();
    EXPECT_EQ(completions, pieces);
    EXPECT_FALSE(completedInsideSendData);
    // The next piece goes out in the pass of the completion before it, and
    // a read changes nothing the loop waits for.
    EXPECT_LT(after.waits - before.waits, static_cast<std::uint64_t>(pieces / 8));
    EXPECT_LT(after.interestChanges - before.interestChanges, 8u);
    EXPECT_LE(after.wakeWrites - before.wakeWrites, 1u); // the first SendData, outside a pass
}

TEST(CSocketData, SecondSendReplacesTheRestOfTheFirst) {
    Connection c;
    c.open();
    int completions = 0;
    c.client->OnSendComplete.subscribe([&] { ++completions; });
    c.client->SendData(std::string("first"));
    c.client->SendData(std::string("second"));
    ASSERT_TRUE(runUntil([&] { return completions >= 1; }));
    runFor(0.2);
    EXPECT_EQ(completions, 1);
}

TEST(CSocketData, AReaderThatDoesNotTakeDataStopsReadingAtTheBound) {
    Connection c;
    c.open();
    const std::size_t size = 24 << 20;
    ByteArray block(size);
    for (std::size_t i = 0; i < size; ++i)
        block[i] = static_cast<std::uint8_t>(i * 13 + i / 4096);
    std::int32_t lastTotal = 0;
    c.client->OnDataArrival.subscribe([&](std::int32_t total) { lastTotal = total; });
    c.server->SendData(block);
    runFor(0.7);
    // Reading stops near the bound; the sender waits on the connection's window.
    EXPECT_GE(c.client->BytesReceived(), static_cast<std::int32_t>(CSocket::ReceiveBufferLimit));
    EXPECT_LE(c.client->BytesReceived(),
              static_cast<std::int32_t>(CSocket::ReceiveBufferLimit + (4 << 20)));
    EXPECT_EQ(lastTotal, c.client->BytesReceived());

    // Taking the data resumes reading, and nothing is lost.
    ByteArray received;
    auto take = [&] {
        Variant data;
        c.client->GetData(data, vartype::ByteArray);
        if (auto* bytes = std::get_if<ByteArray>(&data))
            received.insert(received.end(), bytes->begin(), bytes->end());
    };
    c.client->OnDataArrival.subscribe([&](std::int32_t) { take(); });
    take();
    ASSERT_TRUE(runUntil([&] { return received.size() == size; }));
    EXPECT_TRUE(received == block);
}

TEST(CSocketData, ConnectionsThatHaveReadKeepNoReadSpace) {
    std::vector<std::unique_ptr<Connection>> connections;
    connections.reserve(30);
    const std::size_t before = allocatedBytes();
    for (int i = 0; i < 30; ++i) {
        connections.push_back(std::make_unique<Connection>());
        Connection& c = *connections.back();
        c.open();
        int arrivals = 0;
        c.client->OnDataArrival.subscribe([&](std::int32_t) { ++arrivals; });
        c.server->SendData(std::string("hello"));
        ASSERT_TRUE(runUntil([&] { return arrivals == 1; }));
        Variant data;
        c.client->GetData(data);
        c.client->OnDataArrival.clear();
    }
    const std::size_t perConnection = (allocatedBytes() - before) / connections.size();
    EXPECT_LT(perConnection, 32u << 10);
}

TEST(CSocketClose, GracefulCloseEndsWithOnClose) {
    Connection c;
    c.open();
    int clientCloses = 0, serverCloses = 0;
    c.client->OnClose.subscribe([&] { ++clientCloses; });
    c.server->OnClose.subscribe([&] {
        ++serverCloses;
        c.server->CloseSocket(); // answer the peer's close, as a server would
    });
    c.client->CloseSocket();
    EXPECT_EQ(c.client->State(), CSocket::StateClosing);
    ASSERT_TRUE(runUntil([&] { return clientCloses == 1; }));
    EXPECT_EQ(serverCloses, 1);
    EXPECT_EQ(c.client->State(), CSocket::StateClosed);
    EXPECT_EQ(c.client->SocketHandle(), -1);
}

TEST(CSocketClose, DataSentBeforeTheCloseArrivesBeforeOnClose) {
    Connection c;
    c.open();
    std::vector<std::string> log;
    c.client->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        c.client->GetData(data);
        log.push_back(std::get<std::string>(data));
    });
    c.client->OnClose.subscribe([&] { log.push_back("close"); });
    c.server->SendData(std::string("last words"));
    runUntil([&] { return false; }, 0.0);
    c.server->CloseSocket();
    ASSERT_TRUE(runUntil([&] { return !log.empty() && log.back() == "close"; }));
    std::string all;
    for (std::size_t i = 0; i + 1 < log.size(); ++i)
        all += log[i];
    EXPECT_EQ(all, "last words");
}

// A second close before the peer has closed, or an abort, ends the socket
// at once: what SendData left unsent is dropped and no event follows.
TEST(CSocketClose, SecondCloseOrAbortEndsTheSocketAtOnce) {
    const std::pair<const char*, void (*)(CSocket&)> ways[] = {
        {"close twice",
         [](CSocket& s) {
             s.CloseSocket();
             s.CloseSocket();
         }},
        {"abort", [](CSocket& s) { s.Abort(); }},
    };
    for (const auto& [name, end] : ways) {
        Connection c;
        c.open();
        int events = 0, ends = 0;
        std::size_t received = 0;
        c.client->OnClose.subscribe([&] { ++events; });
        c.client->OnSendComplete.subscribe([&] { ++events; });
        c.server->OnClose.subscribe([&] { ++ends; });
        c.server->OnDataArrival.subscribe([&](std::int32_t) {
            Variant data;
            c.server->GetData(data, vartype::ByteArray);
            received += std::get<ByteArray>(data).size();
        });
        c.client->SendData(ByteArray(16 << 20, 0x5A));
        end(*c.client);
        EXPECT_EQ(c.client->State(), CSocket::StateClosed) << name;
        EXPECT_EQ(c.client->SocketHandle(), -1) << name;
        ASSERT_TRUE(runUntil([&] { return ends == 1; })) << name;
        EXPECT_LT(received, std::size_t(16) << 20) << name;
        runFor(0.1);
        EXPECT_EQ(events, 0) << name;
        // Without a socket it does nothing.
        end(*c.client);
        EXPECT_EQ(c.client->State(), CSocket::StateClosed) << name;
    }
}

TEST(CSocketClose, CloseSendsWhatSendDataTookFirst) {
    Connection c;
    c.open();
    const std::size_t size = 16 << 20;
    std::size_t received = 0;
    int clientCloses = 0, serverCloses = 0;
    c.client->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        c.client->GetData(data, vartype::ByteArray);
        received += std::get<ByteArray>(data).size();
    });
    c.client->OnClose.subscribe([&] {
        ++clientCloses;
        EXPECT_EQ(received, size);
    });
    c.server->OnClose.subscribe([&] { ++serverCloses; });
    ErrorSeen seen;
    recordErrors(c.server, seen);
    c.server->SendData(ByteArray(size, 0x5A));
    c.server->CloseSocket();
    EXPECT_EQ(c.server->State(), CSocket::StateClosing);
    ASSERT_TRUE(runUntil([&] { return clientCloses == 1 && serverCloses == 1; }));
    EXPECT_EQ(received, size);
    EXPECT_EQ(seen.count, 0);

    // A peer that ends the connection before everything went out: said so.
    Connection d;
    d.open();
    ErrorSeen failed;
    recordErrors(d.server, failed);
    d.server->SendData(ByteArray(size, 0x5A));
    d.server->CloseSocket();
    d.client->CloseSocket();
    ASSERT_TRUE(runUntil([&] { return failed.count > 0; }));
    EXPECT_EQ(failed.number, 10053);
    EXPECT_EQ(failed.source, "CSocket.CloseSocket");
    EXPECT_EQ(d.server->State(), CSocket::StateError);
}

TEST(CSocketClose, ResetByPeerIsReportedAsError) {
    Connection c;
    c.open();
    ErrorSeen seen;
    recordErrors(c.client, seen);
    // A zero linger time makes the close a reset.
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(c.server->SocketHandle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort),
              0);
    c.server.reset(); // ends the object, closing its socket
    ASSERT_TRUE(runUntil([&] { return seen.count > 0; }));
    EXPECT_EQ(seen.number, 10054);
    EXPECT_EQ(seen.description, "Connection reset by peer.");
    EXPECT_EQ(seen.source, "");
    EXPECT_EQ(c.client->State(), CSocket::StateError);
    EXPECT_EQ(c.client->SocketHandle(), -1);
}

TEST(CSocketClose, SendingIntoAResetConnectionIsAnErrorNotASignal) {
    Connection c;
    c.open();
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(c.server->SocketHandle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort),
              0);
    c.server.reset();
    // The reset has arrived but is not dispatched yet: the send meets it.
    auto e = raised([&] {
        for (int i = 0; i < 3; ++i)
            c.client->SendData(std::string(100000, 'x'));
    });
    EXPECT_TRUE(e.number() == 10054 || e.number() == 10058) << e.number();
    EXPECT_EQ(e.source(), "CSocket.SendData");
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

TEST(CSocketLifetime, ReleasedInsideItsOwnHandler) {
    Connection c;
    c.open();
    std::weak_ptr<CSocket> weak = c.client;
    bool arrived = false;
    c.client->OnDataArrival.subscribe([&](std::int32_t) {
        arrived = true;
        c.client.reset(); // the last reference the test holds
    });
    // Queue a read and a close for the client; the close must be dropped.
    c.server->SendData(std::string("bye"));
    c.server->CloseSocket();
    ASSERT_TRUE(runUntil([&] { return arrived; }));
    runFor(0.2);
    EXPECT_TRUE(weak.expired());
}

// A notification still queued when its socket closes (here a close posted
// by hand) reaches neither that object nor the socket that takes its
// descriptor number next.
TEST(CSocketLifetime, NotificationForAClosedSocketIsDropped) {
    Connection c;
    c.open();
    const int handle = c.client->SocketHandle();
    platform::EventLoop::instance().postMessage(
        MSocketSupport::SocketWindow(), MSocketSupport::SocketMessage(), handle,
        platform::winsock::makeSelectReply(platform::winsock::FD_CLOSE, 0));
    int closes = 0;
    c.client->OnClose.subscribe([&] { ++closes; });
    c.client->Abort();
    auto other = CSocket::create();
    other->OnClose.subscribe([&] { ++closes; });
    other->setProtocol(CSocket::ProtocolUdp);
    other->Bind(0, "127.0.0.1");
    ASSERT_EQ(other->SocketHandle(), handle);
    runFor(0.2);
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(other->SocketHandle(), handle);
}

TEST(MSocketSupportService, WindowAndLibraryFollowTheRegisteredSockets) {
    ASSERT_EQ(MSocketSupport::RegisteredSockets(), 0u);
    {
        auto a = CSocket::create();
        auto b = CSocket::create();
        EXPECT_TRUE(MSocketSupport::IsStarted());
        EXPECT_EQ(MSocketSupport::SocketWindow(), 0u);
        a->Bind(0, "127.0.0.1");
        EXPECT_NE(MSocketSupport::SocketWindow(), 0u);
        EXPECT_EQ(platform::EventLoop::instance().windowName(MSocketSupport::SocketWindow()),
                  "SOCKET_WINDOW");
        b->Bind(0, "127.0.0.1");
        a->CloseSocket();
        EXPECT_NE(MSocketSupport::SocketWindow(), 0u);
        b->CloseSocket();
        EXPECT_EQ(MSocketSupport::SocketWindow(), 0u);
    }
    EXPECT_FALSE(MSocketSupport::IsStarted());
    EXPECT_EQ(platform::winsock::startupCount(), 0);
}

TEST(MSocketSupportService, StartUpFailureMakesConstructionFail) {
    platform::winsock::setStartupFailure(10091);
    auto e = raised([] { CSocket::create(); });
    platform::winsock::setStartupFailure(0);
    EXPECT_EQ(e.number(), 10091);
    EXPECT_EQ(e.source(), "MSocketSupport.InitWinsockService");
    EXPECT_EQ(e.description(),
              "The underlying network subsystem is not ready for network communication.");
}

TEST(MSocketSupportService, MessageNamesFollowTheProgram) {
    auto s = CSocket::create();
    auto& loop = platform::EventLoop::instance();
    EXPECT_EQ(MSocketSupport::SocketMessage(), loop.registerMessage("net_tests.WinsockMessage"));
    EXPECT_EQ(MSocketSupport::LookupMessage(), loop.registerMessage("net_tests.ResolveMessage"));
    EXPECT_EQ(MSocketSupport::MaximalDatagramSize(), 65507);
}

TEST(MSocketSupportService, PortConversions) {
    EXPECT_EQ(MSocketSupport::UnsignedToInteger(0), 0);
    EXPECT_EQ(MSocketSupport::UnsignedToInteger(32767), 32767);
    EXPECT_EQ(MSocketSupport::UnsignedToInteger(32768), -32768);
    EXPECT_EQ(MSocketSupport::UnsignedToInteger(65535), -1);
    EXPECT_THROW(MSocketSupport::UnsignedToInteger(65536), platform::Error);
    EXPECT_THROW(MSocketSupport::UnsignedToInteger(-1), platform::Error);
    EXPECT_EQ(MSocketSupport::IntegerToUnsigned(-1), 65535);
    EXPECT_EQ(MSocketSupport::IntegerToUnsigned(21), 21);
}

namespace {

// Ten bytes waiting on the client, from the server.
struct TenBytes : Connection {
    void fill() {
        open();
        client->OnDataArrival.subscribe([this](std::int32_t total) { waiting = total; });
        server->SendData(ByteArray{1, 0, 0, 0, 5, 6, 7, 8, 9, 10});
        ASSERT_TRUE(runUntil([this] { return waiting == 10; }));
    }
    int waiting = 0;
};

} // namespace

TEST(CSocketData, ConversionsOfWaitingBytes) {
    {
        TenBytes t;
        t.fill();
        Variant v;
        t.client->GetData(v, vartype::Long);
        EXPECT_EQ(std::get<std::int32_t>(v), 1);
        EXPECT_EQ(t.client->BytesReceived(), 0); // all ten are gone
        Variant after = std::string("kept");
        t.client->GetData(after);
        EXPECT_EQ(std::get<std::string>(after), "kept");
    }
    {
        TenBytes t;
        t.fill();
        Variant v;
        t.client->PeekData(v, std::nullopt, 4);
        EXPECT_EQ(std::get<std::string>(v), std::string("\x01\0\0\0", 4));
        EXPECT_EQ(t.client->BytesReceived(), 10);
        t.client->GetData(v, vartype::ByteArray, 20);
        EXPECT_EQ(std::get<ByteArray>(v).size(), 10u);
        EXPECT_EQ(t.client->BytesReceived(), 0);
    }
    {
        TenBytes t;
        t.fill();
        Variant v = std::int32_t(3);
        t.client->GetData(v, 12, 2); // not a known kind: untouched, bytes still taken
        EXPECT_EQ(std::get<std::int32_t>(v), 3);
        EXPECT_EQ(t.client->BytesReceived(), 8);
        t.client->GetData(v, vartype::Double, 3); // fewer bytes than the kind needs
        EXPECT_EQ(t.client->BytesReceived(), 5);
    }
}

TEST(CSocketData, DataThatConvertsToNoBytesIsRefused) {
    Connection c;
    c.open();
    int completions = 0;
    c.client->OnSendComplete.subscribe([&] { ++completions; });
    for (const Variant& nothing : {Variant(std::string()), Variant(ByteArray()), Variant()}) {
        auto e = raised([&] { c.client->SendData(nothing); });
        EXPECT_EQ(e.number(), 9);
        EXPECT_EQ(e.source(), "CSocket.SendData");
    }
    runFor(0.2);
    EXPECT_EQ(completions, 0);
}
