// CSocket endings: graceful and forced closes, resets, objects released
// in their own handlers, and the support service that registers them.
#include "socket_fixtures.h"

#include "platform/winsock.h"

using namespace net_testing;

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
