// The login and the simple commands against a scripted server: refusals,
// closes, time-outs, cancels and control connections lost at every step.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_session.h"
#include "ftp_test_servers.h"
#include "platform/error.h"
#include "platform/event_loop.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ftptest::DataChannel;
using ftptest::login;
using ftptest::patternBytes;
using ftptest::Peer;
using ftptest::quickLogin;
using ftptest::runUntil;
using ftptest::ScriptedServer;
using ftptest::ShortSession;

// A client on a scripted server with the client's own time-out, connected
// by the test.
struct Session : ftptest::ScriptedSession {
    explicit Session(ScriptedServer::Script script)
        : ScriptedSession(std::move(script), false, 0, false) {}
};

// A 120 greeting announces the 220: the login waits for it within the
// time-out, and times out when it never comes.
TEST(FtpControl, GreetingWithCode120WaitsForThe220WithinTheTimeOut) {
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

TEST(FtpControl, PathsOf257Replies) {
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

TEST(FtpControl, PwdReplyWithoutQuotesDuringLoginFailsWith16001) {
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

TEST(FtpControl, UnsolicitedServiceClosingStartsTheClose) {
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

TEST(FtpControl, ClosingTwiceStillEndsDisconnected) {
    Session s([](Peer& peer) { login(peer); });
    ASSERT_TRUE(s.connect());
    s.client->CloseControlConnection();
    s.client->CloseControlConnection(); // while the first close is still under way
    ASSERT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }));
    EXPECT_EQ(s.log.count(), 1u);
}

TEST(FtpControl, ServerClosingDuringAMethodEndsItWithStatus1) {
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

TEST(FtpControl, QuitAnsweredOnlyByTheCloseStillCompletes) {
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

TEST(FtpControl, QuitAnsweredByATwoLineReply) {
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

TEST(FtpControl, SilentServerTimesOutEveryPeriodUntilCancelled) {
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
TEST(FtpControl, ReplyAfterACancelledUnansweredCommandCompletesTheNextMethod) {
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

TEST(FtpControl, CancelledRenameIgnoresTheLateReply) {
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
    ASSERT_TRUE(runUntil([&] { return s.sent("RNTO new.txt"); }));
    // The RNTO is sent from inside the handler of the 350 reply, which made the state Ready.
    EXPECT_EQ(s.client->FtpSessionState(), 0);
    s.client->CancelAsyncMethod();
    EXPECT_EQ(s.log.last(), "OnRenameFile 3");
    ASSERT_TRUE(runUntil([&] { return s.log.protocol.back() == "< 250 Renamed"; }));
    EXPECT_EQ(s.log.last(), "OnRenameFile 3");
    EXPECT_EQ(s.client->FtpSessionState(), 0);
}

TEST(FtpControl, RefusingRepliesEndTheMethodWithTheirCode) {
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

TEST(FtpControl, LineBreakInAnArgumentSendsNothing) {
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

// A handler that starts the next method from a completion event and waits
// for it in the event loop runs inside the client's dispatcher: the replies
// that arrive meanwhile must still be acted on, each once.
TEST(FtpControl, HandlerWaitingInsideTheDispatcherStillGetsItsReplies) {
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

TEST(FtpControl, BusyDuringTheLoginAndOnlyThen) {
    std::vector<bool> busy;
    Session s([](Peer& peer) { login(peer); });
    s.client->OnStateChange.subscribe([&](std::int32_t) { busy.push_back(s.client->Busy()); });
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(busy, (std::vector<bool>{true, true, true, true, true, true, false}));
    EXPECT_FALSE(s.client->DataTransferInProgress());
}

// A control connection the server has dropped. A reset is a socket error
// (10054): the method ends and the session is Ready with its socket closed.
// An orderly close is seen as such (16008, Disconnected), unless the client
// was sending a command into it at the time, which the peer answers with a
// reset.
void expectLost(ShortSession& s, bool reset) {
    if (reset || s.error() == 10054) {
        EXPECT_EQ(s.error(), 10054);
        EXPECT_EQ(s.client->LastFtpError()->Source(), "CFtpClient.m_objControlSocket_OnError");
        EXPECT_EQ(s.client->FtpSessionState(), 0);
    } else {
        EXPECT_EQ(s.error(), 16008);
        EXPECT_TRUE(runUntil([&] { return s.client->FtpSessionState() == 1; }, 3));
    }
}

// The login: the server drops the connection before the greeting, after
// USER, after PASS or after PWD, closing it or resetting it.
TEST(FtpControl, ControlConnectionLostAtEachStepOfTheLogin) {
    for (const bool reset : {false, true}) {
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE((reset ? "reset at step " : "closed at step ") + std::to_string(step));
            ShortSession s(
                [&](Peer& peer) {
                    const char* replies[] = {"220 Ready\r\n", "331 Password\r\n",
                                             "230 Logged in\r\n"};
                    for (int i = 0; i < step; ++i) {
                        peer.send(replies[i]);
                        peer.readLine();
                    }
                    reset ? peer.reset() : peer.close();
                },
                true, false);
            s.client->Connect();
            EXPECT_EQ(s.next(), "OnConnect 1");
            expectLost(s, reset);
            EXPECT_FALSE(s.client->Busy());
            EXPECT_TRUE(s.quietFor(0.2));
        }
    }
}

// A download: the control connection drops after TYPE, after PASV, after
// RETR and after the 150 with data flowing.
TEST(FtpControl, ControlConnectionLostAtEachStepOfATransfer) {
    const std::string bytes = patternBytes(4000);
    for (const bool reset : {false, true}) {
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE((reset ? "reset at step " : "closed at step ") + std::to_string(step));
            ShortSession s([&](Peer& peer) {
                quickLogin(peer);
                DataChannel data;
                peer.readLine(); // TYPE
                if (step > 0) {
                    peer.send("200 Type set\r\n");
                    peer.readLine(); // PASV
                    peer.send(data.listen());
                    data.accept(3s);
                }
                if (step > 1)
                    peer.readLine(); // RETR
                if (step > 2) {
                    peer.send("150 Opening\r\n");
                    data.send(bytes);
                }
                reset ? peer.reset() : peer.close();
                std::this_thread::sleep_for(300ms);
            });
            ASSERT_TRUE(s.connected());
            s.client->DownloadFile("f.bin", (s.local / "f.bin").string(), false);
            EXPECT_EQ(s.next(), "OnDownloadFile 1");
            expectLost(s, reset);
            EXPECT_FALSE(s.client->Busy());
            EXPECT_FALSE(s.client->DataTransferInProgress());
            EXPECT_TRUE(s.quietFor(0.2));
        }
    }
}

} // namespace
