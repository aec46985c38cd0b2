// CSocket data: arrivals, sends and their progress, the read bound, and
// the conversions of waiting bytes.
#include "socket_fixtures.h"

#include "platform/winsock.h"

using namespace net_testing;

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

// More than the kernel takes at once, from an array the caller keeps and
// changes as soon as SendData returns: what is left to send is the socket's.
TEST(CSocketData, LargeSendReportsProgressThenOneCompletion) {
    Connection c;
    c.open();
    const std::size_t size = 16 << 20;
    ByteArray block(size);
    for (std::size_t i = 0; i < size; ++i)
        block[i] = static_cast<std::uint8_t>(i * 7 + 3 + i / 65536);
    const ByteArray original = block;

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
    std::fill(block.begin(), block.end(), 0);
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
    EXPECT_TRUE(received == original);
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
    ASSERT_TRUE(
        runUntil([&] { return received == pieces * piece.size() && completions == pieces; }));
    const auto after = loop.systemCalls();
    EXPECT_FALSE(completedInsideSendData);
    // The next piece goes out in the pass of the completion before it, and
    // a read changes nothing the loop waits for.
    EXPECT_LT(after.waits - before.waits, static_cast<std::uint64_t>(pieces / 8));
    EXPECT_LT(after.interestChanges - before.interestChanges, 8u);
    EXPECT_LE(after.wakeWrites - before.wakeWrites, 1u); // the first SendData, outside a pass
}

// Blocks sent from completions to a reader on the same loop: the reader
// takes each as it comes, so the writer never fills the socket ahead of it
// and every block but those of the connection's first window goes to the
// kernel in one send.
TEST(CSocketData, AReaderKeepsPaceWithAWriterOnTheSameLoop) {
    Connection c;
    c.open();
    const int blocks = 256;
    const ByteArray block(256 << 10, 'b');
    int completions = 0;
    c.client->OnSendComplete.subscribe([&] {
        if (++completions < blocks)
            c.client->SendData(block);
    });
    std::size_t received = 0;
    c.server->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        c.server->GetData(data, vartype::ByteArray);
        received += std::get<ByteArray>(data).size();
    });
    const auto before = platform::winsock::dataCallCounts();
    c.client->SendData(block);
    ASSERT_TRUE(runUntil([&] { return received == blocks * block.size(); }));
    const auto after = platform::winsock::dataCallCounts();
    EXPECT_LE(after.sends - before.sends, static_cast<std::uint64_t>(blocks + 8));
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
