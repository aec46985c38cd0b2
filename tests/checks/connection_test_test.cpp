// The connection test's click logic over recorded controls, with an
// injected probe for the ratings and failures and the real probe against
// loopback in a namespace of the test's own.

#include "checks/connection_test.h"
#include "support/netns.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class FakeControls : public ConnectionTest::Controls {
public:
    std::string address() override { return m_address; }
    void setResults(const std::string& text) override { results = text; }
    void setTotal(const std::string& text) override { total = text; }
    void setStatus(const std::string& text) override { status = text; }
    void setButtonEnabled(bool enabled) override { button.push_back(enabled); }
    void focusStatus() override { focusOnStatus = true; }
    void showEchoNotPermitted(const std::string& text) override { told.push_back(text); }
    void yieldToMessageLoop() override {
        ++yields;
        if (onYield)
            onYield(yields);
    }

    std::string m_address = "192.0.2.1";
    std::string results = "stale", total = "stale", status = "stale";
    std::vector<bool> button;
    bool focusOnStatus = false;
    std::vector<std::string> told; // echo requests not permitted
    int yields = 0;
    std::function<void(int)> onYield;
};

// Answers with the scripted results, in order, and remembers what it saw.
struct ScriptedProbe {
    ScriptedProbe(std::vector<std::int32_t> answers, FakeControls& boxes)
        : script(std::move(answers)), controls(&boxes) {}
    std::vector<std::int32_t> script;
    std::vector<std::string> addresses;
    std::vector<std::uint32_t> statusAtEntry; // what the record held then
    FakeControls* controls;
    std::string resultsAtFirstRequest, statusAtFirstRequest;
    bool freshRecord = false;

    ConnectionTest::EchoProbe probe() {
        return [this](const std::string& address, PingMod::EchoReply& reply) {
            if (addresses.empty()) {
                static const PingMod::EchoReply zero{};
                freshRecord = std::memcmp(&reply, &zero, sizeof reply) == 0;
                resultsAtFirstRequest = controls->results;
                statusAtFirstRequest = controls->status;
            }
            addresses.push_back(address);
            statusAtEntry.push_back(reply.Status);
            reply.Status = 11010; // what a platform would leave behind
            return script.at(addresses.size() - 1);
        };
    }
};

struct Outcome {
    std::string results, total, status;
    std::size_t requests;
};

Outcome run(std::vector<std::int32_t> script) {
    FakeControls controls;
    ScriptedProbe probe(std::move(script), controls);
    ConnectionTest::Run(controls, probe.probe());
    return {controls.results, controls.total, controls.status, probe.addresses.size()};
}

std::vector<std::int32_t> six(std::int32_t each) {
    return std::vector<std::int32_t>(6, each);
}

} // namespace

TEST(ConnectionTest, ListsFiveTimesAndRatesTheirTotal) {
    FakeControls controls;
    ScriptedProbe probe({99, 99, 99, 99, 99, 7}, controls);
    ConnectionTest::Run(controls, probe.probe());

    EXPECT_EQ(controls.results, "99 ms\r\n99 ms\r\n99 ms\r\n99 ms\r\n99 ms\r\n");
    EXPECT_EQ(controls.total, "495 ms");
    EXPECT_EQ(controls.status, "Excellent");
    // Six requests, all with the click's one record, fresh at the start
    // (what one request leaves in it the next one finds); the boxes were
    // cleared before the first one went out.
    EXPECT_EQ(probe.addresses.size(), 6u);
    EXPECT_TRUE(probe.freshRecord);
    EXPECT_EQ(probe.statusAtEntry,
              (std::vector<std::uint32_t>{0, 11010, 11010, 11010, 11010, 11010}));
    EXPECT_EQ(probe.resultsAtFirstRequest, "");
    EXPECT_EQ(probe.statusAtFirstRequest, "");
    // The button is off while the test runs; the rating gets the focus.
    EXPECT_EQ(controls.button, (std::vector<bool>{false, true}));
    EXPECT_TRUE(controls.focusOnStatus);
    EXPECT_EQ(controls.yields, 7);
}

TEST(ConnectionTest, RatingThresholds) {
    EXPECT_EQ(run(six(100)).status, "Good");
    EXPECT_EQ(run(six(100)).total, "500 ms");
    EXPECT_EQ(run(six(160)).status, "Fair");                                                // 800
    EXPECT_EQ(run(six(200)).status, "Poor");                                                // 1000
    EXPECT_EQ(run(six(300)).status, "No Connection or too poor to use voice-conferencing"); // 1500
    EXPECT_EQ(run({0, 0, 0, 0, 0, 0}).status, "Excellent"); // below 1 ms is a reply too

    EXPECT_EQ(ConnectionTest::Rating(499), "Excellent");
    EXPECT_EQ(ConnectionTest::Rating(799), "Good");
    EXPECT_EQ(ConnectionTest::Rating(999), "Fair");
    EXPECT_EQ(ConnectionTest::Rating(1499), "Poor");
    EXPECT_EQ(ConnectionTest::Rating(50000), "No Connection or too poor to use voice-conferencing");
}

TEST(ConnectionTest, FailedFirstRequestEndsTheClick) {
    FakeControls controls;
    ScriptedProbe probe({-11010}, controls);
    ConnectionTest::Run(controls, probe.probe());
    EXPECT_EQ(controls.results, "");
    EXPECT_EQ(controls.total, ">10000 ms");
    EXPECT_EQ(controls.status, "No Internet Connection");
    EXPECT_EQ(probe.addresses.size(), 1u);
    EXPECT_EQ(controls.button, (std::vector<bool>{false, true}));
    EXPECT_FALSE(controls.focusOnStatus);
    EXPECT_TRUE(controls.told.empty());

    // A system that permits no echo request: the same boxes, and the user
    // is told why, once the boxes are filled.
    FakeControls refused;
    ScriptedProbe refusedProbe({-static_cast<std::int32_t>(PingMod::EchoNotPermitted)}, refused);
    ConnectionTest::Run(refused, refusedProbe.probe());
    EXPECT_EQ(refused.status, "No Internet Connection");
    EXPECT_EQ(refused.total, ">10000 ms");
    EXPECT_EQ(refused.told, std::vector<std::string>{ConnectionTest::EchoNotPermittedText});
}

TEST(ConnectionTest, FailedLaterRequestCountsAsTheTimeOut) {
    // Listed as ">10000 ms" and counted as 10000, so a connection that
    // stops answering cannot rate well.
    Outcome o = run({20, 20, -11003, 20, 20, -11010});
    EXPECT_EQ(o.results, "20 ms\r\n20 ms\r\n>10000 ms\r\n20 ms\r\n20 ms\r\n");
    EXPECT_EQ(o.total, "10080 ms");
    EXPECT_EQ(o.status, "No Connection or too poor to use voice-conferencing");
    EXPECT_EQ(o.requests, 6u);
    // A failed sixth request changes nothing.
    EXPECT_EQ(run({1, 1, 1, 1, 1, -11010}).status, "Excellent");
}

TEST(ConnectionTest, ReadsTheAddressBeforeEveryRequest) {
    FakeControls controls;
    controls.m_address = "192.0.2.1";
    // Yields come before request 1, after it, then before requests 2 to 6.
    controls.onYield = [&](int yield) {
        if (yield == 4)
            controls.m_address = "192.0.2.2";
    };
    ScriptedProbe probe(six(1), controls);
    ConnectionTest::Run(controls, probe.probe());
    EXPECT_EQ(probe.addresses, (std::vector<std::string>{"192.0.2.1", "192.0.2.1", "192.0.2.2",
                                                         "192.0.2.2", "192.0.2.2", "192.0.2.2"}));
}

TEST(ConnectionTest, RequestsRunAsideOfTheCallersEvents) {
    // A probe that waits until it is told to answer: the caller goes on
    // handling its events meanwhile, the probe's message boxes are shown
    // on the caller's thread, and a closed window abandons the wait.
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    auto waitingOn = [](std::shared_ptr<Gate> gate) {
        return [gate](const std::string&, PingMod::EchoReply&) {
            PingMod::ShowMessageBox("asked", PingMod::MessageBoxIcon::None);
            std::unique_lock lock(gate->mutex);
            gate->opened.wait_for(lock, std::chrono::seconds(5), [&] { return gate->open; });
            return 7;
        };
    };
    std::vector<std::thread::id> shownOn;
    PingMod::setMessageBoxSink([&](const std::string&, PingMod::MessageBoxIcon) {
        shownOn.push_back(std::this_thread::get_id());
    });
    struct WaitingControls : FakeControls {
        void waitForEvents() override {
            if (++waits == 3) {
                std::lock_guard lock(gate->mutex);
                gate->open = true; // the user's event, handled while the probe waits
                gate->opened.notify_all();
            }
            if (waits == closeAt)
                closedNow = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        bool closed() override { return closedNow; }
        std::shared_ptr<Gate> gate;
        int waits = 0, closeAt = 0;
        bool closedNow = false;
    };
    WaitingControls controls;
    controls.gate = std::make_shared<Gate>();
    ConnectionTest::Run(controls, waitingOn(controls.gate));
    EXPECT_EQ(controls.status, "Excellent");
    EXPECT_EQ(shownOn, std::vector<std::thread::id>(6, std::this_thread::get_id()));

    WaitingControls closing;
    closing.gate = std::make_shared<Gate>();
    closing.closeAt = 2; // before the gate opens: the probe still waits
    ConnectionTest::Run(closing, waitingOn(closing.gate));
    EXPECT_EQ(closing.button, std::vector<bool>{false}) << "a closed window is left as it is";
    EXPECT_EQ(closing.status, "");
    {
        std::lock_guard lock(closing.gate->mutex);
        EXPECT_FALSE(closing.gate->open);
    }
    PingMod::setMessageBoxSink({});
}

TEST(ConnectionTest, RealEchoesToLoopbackSendSixRequests) {
    auto ns = testing_netns::Namespace::create("click");
    if (!ns)
        GTEST_SKIP() << "network namespaces are not available here";
    testing_netns::Enter inside(*ns);
    ASSERT_TRUE(inside.ok());
    // A raw socket in the namespace sees every echo request and reply.
    int counter = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP);
    ASSERT_GE(counter, 0);

    FakeControls controls;
    controls.m_address = "127.0.0.1";
    ConnectionTest::Run(controls);

    int requests = 0, replies = 0;
    std::uint8_t packet[256];
    for (ssize_t n; (n = ::recv(counter, packet, sizeof packet, 0)) > 0;) {
        if (n != 20 + 8 + 9 || std::memcmp(packet + 28, "Echo This", 9) != 0)
            continue;
        requests += packet[20] == 8;
        replies += packet[20] == 0;
    }
    ::close(counter);
    EXPECT_EQ(requests, 6);
    EXPECT_EQ(replies, 6);

    EXPECT_TRUE(std::regex_match(controls.results, std::regex("(\\d+ ms\r\n){5}")))
        << controls.results;
    EXPECT_TRUE(std::regex_match(controls.total, std::regex("\\d+ ms")));
    EXPECT_EQ(controls.status, "Excellent");
}
