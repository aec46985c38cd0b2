// CFtpClient against a loopback server that plays replies in chosen pieces.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_test_servers.h"
#include "platform/error.h"
#include "platform/event_loop.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using ftptest::EventLog;
using ftptest::Peer;
using ftptest::runUntil;
using ftptest::ScriptedServer;

// Greeting, USER, PASS, PWD as a plain server answers them.
void login(Peer& peer, const std::string& greeting = "220 Ready\r\n") {
    peer.send(greeting);
    peer.readLine();
    peer.send("331 Password required\r\n");
    peer.readLine();
    peer.send("230 Logged in\r\n");
    peer.readLine();
    peer.send("257 \"/\" is the current directory\r\n");
}

struct Session {
    ScriptedServer server;
    std::shared_ptr<CFtpClient> client;
    EventLog log;

    explicit Session(ScriptedServer::Script script)
        : server(std::move(script)), client(makeClient(server.port())), log(*client) {}

    static std::shared_ptr<CFtpClient> makeClient(int port) {
        auto client = CFtpClient::create();
        client->setFtpServer("127.0.0.1");
        client->setRemotePort(port);
        return client;
    }
    bool has(const std::string& completion) const {
        return std::count(log.completions.begin(), log.completions.end(), completion) > 0;
    }
    bool connect() {
        client->Connect();
        return runUntil([&] { return log.count() > 0; }) && log.last() == "OnConnect 0";
    }
    bool waitFor(const std::string& completion, double seconds = 10) {
        return runUntil([&] { return has(completion); }, seconds);
    }
    bool received(const std::string& line) const {
        auto lines = server.received();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST(CFtpClientScripted, GreetingSplitInTwoPiecesIsActedOnOnce) {
    Session s([](Peer& peer) {
        peer.send("220 Re");
        login(peer, "ady\r\n");
    });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.log.protocol,
              (std::vector<std::string>{"< ady", "> USER anonymous", "< 331 Password required",
                                        "> PASS mitu-user@example.com", "< 230 Logged in", "> PWD ",
                                        "< 257 \"/\" is the current directory"}));
    EXPECT_EQ(s.log.states, (std::vector<std::int32_t>{2, 3, 4, 4, 5, 13, 0}));
    EXPECT_EQ(s.client->CurrentDirectory(), "/");
    EXPECT_EQ(s.client->UserName(), "anonymous");
}

TEST(CFtpClientScripted, LineEndSplitAcrossTwoReadsKeepsTheReply) {
    Session s([](Peer& peer) {
        peer.send("220 Ready\r");
        login(peer, "\n");
    });
    ASSERT_TRUE(s.connect());
    ASSERT_FALSE(s.log.protocol.empty());
    EXPECT_EQ(s.log.protocol[0], "< 220 Ready");
    EXPECT_EQ(s.server.received(),
              (std::vector<std::string>{"USER anonymous", "PASS mitu-user@example.com", "PWD"}));
}

TEST(CFtpClientScripted, MultiLineGreetingFillsFtpServerMessageOnce) {
    Session s([](Peer& peer) {
        peer.send("220-Welcome\r\n");
        peer.send("220-Second line\r\n220 Ready\r\n");
        peer.readLine();
        peer.send("230 No password needed\r\n");
        peer.readLine();
        peer.send("257 \"/home/user\"\r\n");
    });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.client->FtpServerMessage(), "Welcome\r\nSecond line");
    EXPECT_EQ(s.client->FtpServerMessage(), "");
    // 230 straight after USER: no PASS.
    EXPECT_EQ(s.server.received(), (std::vector<std::string>{"USER anonymous", "PWD"}));
    EXPECT_EQ(s.log.states, (std::vector<std::int32_t>{2, 3, 4, 5, 13, 0}));
    EXPECT_EQ(s.client->CurrentDirectory(), "/home/user");
}

// A 120 greeting announces the 220: the login waits for it within the
// time-out, and times out when it never comes.
TEST(CFtpClientScripted, GreetingWithCode120WaitsForThe220WithinTheTimeOut) {
    for (const bool ready : {true, false}) {
        Session s([&](Peer& peer) {
            peer.send("120 Ready in 1 minute\r\n");
            if (ready)
                login(peer);
        });
        s.client->setTimeOut(1);
        s.client->Connect();
        ASSERT_TRUE(s.waitFor(ready ? "OnConnect 0" : "OnConnect 2", 5)) << ready;
    }
}

TEST(CFtpClientScripted, PathsOf257Replies) {
    Session s([](Peer& peer) {
        peer.send("220 Ready\r\n");
        peer.readLine();
        peer.send("230 In\r\n");
        peer.readLine();
        peer.send("257 \"C:\\data\\in\" is current\r\n");
        peer.readLine();
        peer.send("257 /no/quotes here\r\n");
        peer.readLine();
        peer.send("257 \"\" empty\r\n");
    });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.client->CurrentDirectory(), "C:/data/in");

    s.client->GetCurrentDirectory();
    ASSERT_TRUE(s.waitFor("OnGetCurrentDirectory 1"));
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16001);
    EXPECT_EQ(s.client->LastFtpError()->Description(),
              "Cannot retrieve the current directory path. Unexpected server response.");
    EXPECT_EQ(s.client->LastFtpError()->Source(), "");
    EXPECT_EQ(s.client->CurrentDirectory(), "");

    s.client->GetCurrentDirectory();
    ASSERT_TRUE(s.waitFor("OnGetCurrentDirectory 0"));
    EXPECT_EQ(s.client->CurrentDirectory(), "");
}

TEST(CFtpClientScripted, PwdReplyWithoutQuotesDuringLoginFailsWith16001) {
    bool closedByClient = false;
    Session s([&](Peer& peer) {
        peer.send("220 Ready\r\n");
        peer.readLine();
        peer.send("230 In\r\n");
        peer.readLine();
        peer.send("257 / is current\r\n");
        closedByClient = peer.waitForClose();
    });
    s.client->Connect();
    ASSERT_TRUE(s.waitFor("OnConnect 1"));
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16001);
    EXPECT_EQ(s.client->LastFtpError()->Source(), "");
    EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }));
    EXPECT_TRUE(closedByClient);
}

TEST(CFtpClientScripted, UnsolicitedServiceClosingStartsTheClose) {
    Session s([](Peer& peer) {
        login(peer);
        peer.send("421 Shutting down\r\n");
        peer.waitForClose();
    });
    ASSERT_TRUE(s.connect());
    s.log.clear();
    ASSERT_TRUE(runUntil([&] { return !s.log.states.empty(); }));
    EXPECT_EQ(s.log.protocol, (std::vector<std::string>{"! 421 Shutting down"}));
    EXPECT_EQ(s.log.states, (std::vector<std::int32_t>{0}));
    ASSERT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }));
    EXPECT_EQ(s.log.states, (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(s.log.count(), 0u);
}

TEST(CFtpClientScripted, ClosingTwiceStillEndsDisconnected) {
    Session s([](Peer& peer) { login(peer); });
    ASSERT_TRUE(s.connect());
    s.client->CloseControlConnection();
    s.client->CloseControlConnection(); // while the first close is still under way
    ASSERT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }));
    EXPECT_EQ(s.log.count(), 1u);
}

TEST(CFtpClientScripted, ServerClosingDuringAMethodEndsItWithStatus1) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.close();
    });
    ASSERT_TRUE(s.connect());
    std::int32_t stateAtCompletion = -1;
    s.client->OnSetCurrentDirectory.subscribe(
        [&](std::int32_t) { stateAtCompletion = s.client->FtpSessionState(); });
    s.client->SetCurrentDirectory("gone");
    ASSERT_TRUE(s.waitFor("OnSetCurrentDirectory 1"));
    EXPECT_EQ(stateAtCompletion, 1);
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16008);
    EXPECT_EQ(s.client->LastFtpError()->Source(), "CFtpClient.m_objControlSocket_OnClose");
    EXPECT_EQ(s.client->LastFtpError()->Description(), "The server closed the connection.");
    EXPECT_FALSE(s.client->Busy());
}

TEST(CFtpClientScripted, QuitAnsweredOnlyByTheCloseStillCompletes) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.close();
    });
    ASSERT_TRUE(s.connect());
    s.client->QuitSession();
    ASSERT_TRUE(s.waitFor("OnQuitSession 0"));
    EXPECT_EQ(s.client->FtpSessionState(), 1);
}

TEST(CFtpClientScripted, QuitAnsweredByATwoLineReply) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.send("221-Goodbye\r\n");
        peer.send("221 Bye\r\n");
        peer.waitForClose();
    });
    ASSERT_TRUE(s.connect());
    s.client->QuitSession();
    ASSERT_TRUE(s.waitFor("OnQuitSession 0"));
    EXPECT_EQ(s.client->FtpSessionState(), 0);
    EXPECT_EQ(s.client->FtpServerMessage(), "Goodbye");
    ASSERT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }));
    EXPECT_EQ(s.log.count(), 2u);
}

TEST(CFtpClientScripted, SilentServerTimesOutEveryPeriodUntilCancelled) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine(); // CWD, never answered
    });
    ASSERT_TRUE(s.connect());
    s.client->setTimeOut(1);
    s.client->SetCurrentDirectory("slow");
    auto started = platform::Clock::now();
    ASSERT_TRUE(runUntil(
        [&] {
            return std::count(s.log.completions.begin(), s.log.completions.end(),
                              "OnSetCurrentDirectory 2") == 2;
        },
        5));
    EXPECT_GE(platform::Clock::now() - started, 1900ms);
    // Still pending: a second method is refused, the time-out keeps running.
    EXPECT_TRUE(s.client->Busy());
    EXPECT_THROW(s.client->GetCurrentDirectory(), platform::Error);
    s.client->CancelAsyncMethod();
    EXPECT_EQ(s.log.last(), "OnSetCurrentDirectory 3");
    auto count = s.log.count();
    runUntil([] { return false; }, 1.3);
    EXPECT_EQ(s.log.count(), count);
    EXPECT_FALSE(s.client->Busy());
}

// A command the server never answers, then cancelled: the answer to the
// next method's command completes that method.
TEST(CFtpClientScripted, ReplyAfterACancelledUnansweredCommandCompletesTheNextMethod) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine(); // CWD, never answered
        if (peer.readLine() == "PWD")
            peer.send("257 \"/a\"\r\n");
    });
    ASSERT_TRUE(s.connect());
    s.client->setTimeOut(1);
    s.client->SetCurrentDirectory("slow");
    ASSERT_TRUE(s.waitFor("OnSetCurrentDirectory 2", 3));
    s.client->CancelAsyncMethod();
    s.client->GetCurrentDirectory();
    EXPECT_TRUE(s.waitFor("OnGetCurrentDirectory 0", 3));
    EXPECT_EQ(s.client->CurrentDirectory(), "/a");
    EXPECT_FALSE(s.client->Busy());
}

// Two replies in one read (the late answer to a cancelled command and the
// answer to the next): each is shown once, with its own text.
TEST(CFtpClientScripted, TwoRepliesInOneReadAreEachShownOnce) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine(); // CWD
        if (peer.readLine() == "PWD")
            peer.send("250 Okay\r\n257 \"/b\"\r\n");
    });
    ASSERT_TRUE(s.connect());
    s.client->setTimeOut(1);
    s.client->SetCurrentDirectory("slow");
    ASSERT_TRUE(s.waitFor("OnSetCurrentDirectory 2", 3));
    s.client->CancelAsyncMethod();
    s.log.protocol.clear();
    s.client->GetCurrentDirectory();
    EXPECT_TRUE(s.waitFor("OnGetCurrentDirectory 0", 3));
    EXPECT_EQ(s.client->CurrentDirectory(), "/b");
    EXPECT_EQ(s.log.protocol, (std::vector<std::string>{"> PWD ", "< 250 Okay", "< 257 \"/b\""}));
}

TEST(CFtpClientScripted, CancelledRenameIgnoresTheLateReply) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.send("350 Ready for RNTO\r\n");
        peer.readLine();
        std::this_thread::sleep_for(300ms);
        peer.send("250 Renamed\r\n");
    });
    ASSERT_TRUE(s.connect());
    s.client->RenameFile("old.txt", "new.txt");
    ASSERT_TRUE(runUntil([&] { return s.received("RNTO new.txt"); }));
    // The RNTO is sent from inside the handler of the 350 reply, which made the state Ready.
    EXPECT_EQ(s.client->FtpSessionState(), 0);
    s.client->CancelAsyncMethod();
    EXPECT_EQ(s.log.last(), "OnRenameFile 3");
    ASSERT_TRUE(runUntil([&] { return s.log.protocol.back() == "< 250 Renamed"; }));
    EXPECT_EQ(s.log.last(), "OnRenameFile 3");
    EXPECT_EQ(s.client->FtpSessionState(), 0);
}

TEST(CFtpClientScripted, RefusingRepliesEndTheMethodWithTheirCode) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.send("350 Ready for RNTO\r\n");
        peer.readLine();
        peer.send("550 Cannot rename\r\n");
        peer.readLine();
        peer.send("250 Created, but the wrong code\r\n");
        peer.readLine();
        peer.send("534 Policy\r\n");
    });
    ASSERT_TRUE(s.connect());
    s.client->RenameFile("a", "b");
    ASSERT_TRUE(s.waitFor("OnRenameFile 1"));
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16550);
    EXPECT_EQ(s.client->LastFtpError()->Description(), "Requested action not taken.");
    EXPECT_EQ(s.client->LastFtpError()->Source(), "Brindle.CFtpClient");

    s.client->CreateDirectory("d");
    ASSERT_TRUE(s.waitFor("OnCreateDirectory 1"));
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16250);
    // A code without a text of the client's own: the server's words.
    EXPECT_EQ(s.client->LastFtpError()->Description(), "250 Created, but the wrong code");

    s.client->DeleteFile("f");
    ASSERT_TRUE(s.waitFor("OnDeleteFile 1"));
    EXPECT_EQ(s.client->LastFtpError()->Number(), 16534);
    EXPECT_EQ(s.client->FtpSessionState(), 0);
}

TEST(CFtpClientScripted, LineBreakInAnArgumentSendsNothing) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.send("221 Bye\r\n");
    });
    ASSERT_TRUE(s.connect());
    for (const char* name : {"a\r\nDELE secret", "a\nDELE secret", "a\rDELE secret"}) {
        try {
            s.client->CreateDirectory(name);
            ADD_FAILURE() << "accepted a line break";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.number(), 5);
        }
    }
    EXPECT_FALSE(s.client->Busy());
    s.client->QuitSession();
    ASSERT_TRUE(s.waitFor("OnQuitSession 0"));
    EXPECT_EQ(
        s.server.received(),
        (std::vector<std::string>{"USER anonymous", "PASS mitu-user@example.com", "PWD", "QUIT"}));
}

TEST(CFtpClientScripted, EndlessReplyIsCutOffAndTheSessionClosed) {
    bool closedByClient = false;
    Session s([&](Peer& peer) {
        login(peer);
        peer.readLine();
        const std::string line = "257-" + std::string(1020, 'x') + "\r\n";
        std::string chunk;
        for (int i = 0; i < 64; ++i)
            chunk += line;
        for (int i = 0; i < 40 && !peer.closed(); ++i) // 2.5 MiB unless the client gives up
            peer.send(chunk, 0ms);
        closedByClient = peer.waitForClose();
    });
    ASSERT_TRUE(s.connect());
    s.client->GetCurrentDirectory();
    ASSERT_TRUE(s.waitFor("OnGetCurrentDirectory 1", 20));
    EXPECT_EQ(s.client->LastFtpError()->Number(), CFtpClient::ReplyTooLong);
    EXPECT_EQ(s.client->LastFtpError()->Source(), "CFtpClient.m_objControlSocket_OnDataArrival");
    EXPECT_NE(s.client->LastFtpError()->Description().find("longer than"), std::string::npos);
    EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }, 20));
    EXPECT_EQ(s.log.count(), 2u);
    EXPECT_TRUE(closedByClient);
}

// A handler that starts the next method from a completion event and waits
// for it in the event loop runs inside the client's dispatcher: the replies
// that arrive meanwhile must still be acted on, each once.
TEST(CFtpClientScripted, HandlerWaitingInsideTheDispatcherStillGetsItsReplies) {
    Session s([](Peer& peer) {
        login(peer);
        peer.readLine();
        peer.send("257 \"/pub\"\r\n");
        peer.readLine();
        peer.send("250 Okay\r\n");
    });
    std::vector<std::string> inner;
    s.client->OnConnect.subscribe([&](std::int32_t status) {
        if (status != 0)
            return;
        s.client->GetCurrentDirectory();
        runUntil([&] { return s.has("OnGetCurrentDirectory 0"); }, 5);
        inner.push_back(s.client->CurrentDirectory());
        s.client->SetCurrentDirectory("x");
        runUntil([&] { return s.has("OnSetCurrentDirectory 0"); }, 5);
        inner.push_back(s.log.last());
    });
    s.client->Connect();
    ASSERT_TRUE(runUntil([&] { return inner.size() == 2; }));
    EXPECT_EQ(inner, (std::vector<std::string>{"/pub", "OnSetCurrentDirectory 0"}));
    EXPECT_EQ(s.log.completions, (std::vector<std::string>{"OnConnect 0", "OnGetCurrentDirectory 0",
                                                           "OnSetCurrentDirectory 0"}));
    EXPECT_EQ(s.server.received(),
              (std::vector<std::string>{"USER anonymous", "PASS mitu-user@example.com", "PWD",
                                        "PWD", "CWD x"}));
}

TEST(CFtpClientScripted, BusyDuringTheLoginAndOnlyThen) {
    std::vector<bool> busy;
    Session s([](Peer& peer) { login(peer); });
    s.client->OnStateChange.subscribe([&](std::int32_t) { busy.push_back(s.client->Busy()); });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(busy, (std::vector<bool>{true, true, true, true, true, true, false}));
    EXPECT_FALSE(s.client->DataTransferInProgress());
}

} // namespace
