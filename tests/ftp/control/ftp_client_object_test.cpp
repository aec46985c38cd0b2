// CFtpClient without a server: defaults, property checks, the error
// convention of its methods, and the reply parser.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "platform/error.h"

#include "support/errors.h"

#include <gtest/gtest.h>

namespace {

using ftptest::EventLog;

using testing_support::raised;

TEST(CFtpClientObject, StartsDisconnectedWithItsDefaults) {
    auto client = CFtpClient::create();
    EXPECT_EQ(client->FtpSessionState(), 1);
    EXPECT_FALSE(client->Busy());
    EXPECT_FALSE(client->DataTransferInProgress());
    EXPECT_EQ(client->RemotePort(), 21);
    EXPECT_EQ(client->TimeOut(), 60);
    EXPECT_EQ(client->SendBufferLenght(), 1460);
    EXPECT_EQ(client->TransferMode(), 1);
    EXPECT_FALSE(client->PassiveMode());
    EXPECT_FALSE(client->UseTls());
    EXPECT_FALSE(client->TlsInsecure());
    EXPECT_EQ(client->TlsDescription(), "");
    EXPECT_EQ(client->UserName(), "");
    EXPECT_EQ(client->CurrentDirectory(), "");
    EXPECT_EQ(client->CurrentDirectoryFiles(), nullptr);
    EXPECT_EQ(client->FtpServerMessage(), "");
    ASSERT_NE(client->LastFtpError(), nullptr);
    EXPECT_EQ(client->LastFtpError()->Number(), 0);
}

TEST(CFtpClientObject, PropertyWritesOutsideTheirRangeRaise380AndKeepTheOldValue) {
    auto client = CFtpClient::create();
    for (std::int32_t port : {0, 65536, -1}) {
        auto e = raised([&] { client->setRemotePort(port); });
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.source(), "CFtpClient.RemotePort");
        EXPECT_EQ(e.description(), "Invalid property value.");
        EXPECT_EQ(client->RemotePort(), 21);
    }
    client->setRemotePort(1);
    EXPECT_EQ(client->RemotePort(), 1);
    client->setRemotePort(65535);
    EXPECT_EQ(client->RemotePort(), 65535);

    for (std::int16_t size : {511, 8193}) {
        auto e = raised([&] { client->setSendBufferLenght(size); });
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.source(), "CFtpClient.SendBufferLenght");
        EXPECT_EQ(client->SendBufferLenght(), 1460);
    }
    client->setSendBufferLenght(512);
    client->setSendBufferLenght(8192);
    EXPECT_EQ(client->SendBufferLenght(), 8192);

    client->setTimeOut(100);
    EXPECT_EQ(client->TimeOut(), 100);
}

TEST(CFtpClientObject, MethodsWithoutAConnectionRaise16008ThroughBothTraps) {
    auto client = CFtpClient::create();
    EventLog log(*client);
    auto e = raised([&] { client->SetCurrentDirectory("/pub"); });
    EXPECT_EQ(e.number(), 16008);
    EXPECT_EQ(e.source(), "CFtpClient.SendFtpCommand");
    EXPECT_EQ(e.description(), "CFtpClient.SetCurrentDirectory failed: CFtpClient.SendFtpCommand "
                               "failed: The connection is not established.");
    // The method registered itself and was ended again: Ready, nothing pending.
    EXPECT_EQ(log.states, (std::vector<std::int32_t>{0}));
    EXPECT_EQ(log.count(), 0u);
    EXPECT_TRUE(log.protocol.empty());

    e = raised([&] { client->QuitSession(); });
    EXPECT_EQ(e.number(), 16008);
    EXPECT_EQ(e.description(), "CFtpClient.QuitSession failed: CFtpClient.SendFtpCommand failed: "
                               "The connection is not established.");
    e = raised([&] { client->GetCurrentDirectory(); });
    EXPECT_EQ(e.description().rfind("CFtpClient.GetCurrentDirectory failed: ", 0), 0u);
    // Nothing stays pending, so the next call is not refused as busy.
    e = raised([&] { client->RenameFile("a", "b"); });
    EXPECT_EQ(e.number(), 16008);
}

TEST(CFtpClientObject, EmptyArgumentsAndLineBreaksAreRefusedBeforeAnythingHappens) {
    auto client = CFtpClient::create();
    EventLog log(*client);
    struct Case {
        const char* member;
        std::function<void()> call;
    };
    const std::vector<Case> cases = {
        {"SetCurrentDirectory", [&] { client->SetCurrentDirectory(""); }},
        {"CreateDirectory", [&] { client->CreateDirectory(""); }},
        {"RemoveDirectory", [&] { client->RemoveDirectory(""); }},
        {"DeleteFile", [&] { client->DeleteFile(""); }},
        {"RenameFile", [&] { client->RenameFile("", "b"); }},
        {"RenameFile", [&] { client->RenameFile("a", ""); }},
        {"SetCurrentDirectory", [&] { client->SetCurrentDirectory("a\r\nDELE x"); }},
        {"DeleteFile", [&] { client->DeleteFile("x\n"); }},
        {"RenameFile", [&] { client->RenameFile("a", "b\rRMD c"); }},
    };
    for (const auto& c : cases) {
        auto e = raised(c.call);
        EXPECT_EQ(e.number(), 5) << c.member;
        EXPECT_EQ(e.source(), std::string("CFtpClient.") + c.member);
        EXPECT_EQ(e.description(), std::string("CFtpClient.") + c.member +
                                       " failed: Invalid procedure call or argument");
    }
    EXPECT_TRUE(log.states.empty());
    EXPECT_EQ(client->FtpSessionState(), 1);

    client->setFtpServer("127.0.0.1");
    client->setUserName("bob\r\nDELE important");
    auto e = raised([&] { client->Connect(); });
    EXPECT_EQ(e.number(), 5);
    EXPECT_EQ(e.source(), "CFtpClient.Connect");
    EXPECT_TRUE(log.states.empty());
}

TEST(CFtpClientObject, ConnectWithoutAServerRaises380) {
    auto client = CFtpClient::create();
    auto e = raised([&] { client->Connect(); });
    EXPECT_EQ(e.number(), 380);
    EXPECT_EQ(e.source(), "CFtpClient.Connect");
    EXPECT_EQ(e.description(), "CFtpClient.Connect failed: Invalid property value.");

    // With TLS, trusted certificates that cannot be read fail the call
    // before any connection is made.
    client->setFtpServer("127.0.0.1");
    client->setUseTls(true);
    client->setTlsCaFile("/nonexistent/ca.pem");
    e = raised([&] { client->Connect(); });
    EXPECT_EQ(e.number(), CFtpClient::TlsFailed);
    EXPECT_TRUE(e.description().starts_with("CFtpClient.Connect failed: TLS: the trusted "
                                            "certificates cannot be read from /nonexistent/ca.pem"))
        << e.description();
    EXPECT_FALSE(client->Busy());
    EXPECT_EQ(client->FtpSessionState(), 1);
}

TEST(CFtpClientObject, CancelAndCloseWithNothingPendingOnlyReportReady) {
    auto client = CFtpClient::create();
    EventLog log(*client);
    client->CancelAsyncMethod();
    client->CloseControlConnection();
    EXPECT_EQ(log.states, (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(log.count(), 0u);
    EXPECT_FALSE(client->Busy());
}

TEST(CFtpClientObject, ParsesSingleAndMultiLineReplies) {
    auto p = ftp::ParseReply("230 Welcome\r\n");
    EXPECT_EQ(p.code, 230);
    EXPECT_EQ(p.end, 13u);

    p = ftp::ParseReply("220-Welcome\r\n220-Second\r\n220 Ready\r\n");
    EXPECT_EQ(p.code, 220);
    EXPECT_EQ(p.message, "Welcome\r\nSecond\r\n");

    p = ftp::ParseReply("220-Welcome\r\n");
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.message, "Welcome\r\n");

    // A preliminary reply is a reply of its own; text after it stays for later.
    p = ftp::ParseReply("150 Opening\r\n226 Done\r\n221-Bye");
    EXPECT_EQ(p.code, 150);
    EXPECT_EQ(p.end, 13u);

    // Two completion replies in one piece are two replies.
    p = ftp::ParseReply("200 Type set\r\n426 Aborted\r\n");
    EXPECT_EQ(p.code, 200);
    EXPECT_EQ(p.end, 14u);

    // A line counts only once its CR LF is there; other lines are ignored.
    EXPECT_EQ(ftp::ParseReply("220 Re").code, 0);
    EXPECT_EQ(ftp::ParseReply("220 Ready\r").code, 0);
    EXPECT_EQ(ftp::ParseReply("hello\r\n2x0 no\r\n220\r\n").code, 0);
    EXPECT_EQ(ftp::ParseReply("  220 indented\r\n").code, 0);

    // A line with a code below 100 is no reply line: it neither ends the
    // reply nor hides a preliminary reply before it, and a real reply
    // after it is still found (found by fuzzing).
    p = ftp::ParseReply("000 zero\r\n");
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.end, 0u);
    p = ftp::ParseReply("150 Opening\r\n004 odd\r\n");
    EXPECT_EQ(p.code, 150);
    EXPECT_EQ(p.end, 13u);
    p = ftp::ParseReply("099 odd\r\n226 Done\r\n");
    EXPECT_EQ(p.code, 226);
    EXPECT_EQ(p.end, 19u);

    // A line may end at LF alone; a quote inside a 257 path is doubled.
    p = ftp::ParseReply("220-Hi\n220 Ready\n230 In\r\n");
    EXPECT_EQ(p.code, 220);
    EXPECT_EQ(p.end, 17u);
    EXPECT_EQ(p.message, "Hi\r\n");
    EXPECT_EQ(ftp::SizeFromResponse("213 1234\n"), 1234);
    std::string dir;
    EXPECT_TRUE(ftp::DirFromResponse("257 \"/say \"\"hi\"\" there\" made\r\n", dir));
    EXPECT_EQ(dir, "/say \"hi\" there");
}

} // namespace
