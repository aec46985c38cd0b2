// CFtpClient against a real FTP server (pyftpdlib) on loopback.
#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_test_servers.h"
#include "net/socket_errors.h"
#include "platform/error.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using ftptest::EventLog;
using ftptest::PyFtpServer;
using ftptest::runUntil;

class CFtpClientLive : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new PyFtpServer(); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        client = CFtpClient::create();
        client->setFtpServer("127.0.0.1");
        client->setRemotePort(server->port());
        log = std::make_unique<EventLog>(*client);
    }

    bool has(const std::string& completion) const {
        return std::find(log->completions.begin(), log->completions.end(), completion) !=
               log->completions.end();
    }
    // Starts a method and waits for its completion event with any status.
    std::string complete(const std::function<void()>& start) {
        const std::size_t before = log->count();
        start();
        if (!runUntil([&] { return log->count() > before; }))
            return "no completion";
        return log->last();
    }
    void login() {
        ASSERT_EQ(complete([&] { client->Connect(); }), "OnConnect 0");
    }

    static PyFtpServer* server;
    std::shared_ptr<CFtpClient> client;
    std::unique_ptr<EventLog> log;
};

PyFtpServer* CFtpClientLive::server = nullptr;

TEST_F(CFtpClientLive, AnonymousLoginPassesThroughEveryState) {
    login();
    EXPECT_EQ(log->states, (std::vector<std::int32_t>{2, 3, 4, 4, 5, 13, 0}));
    EXPECT_EQ(client->CurrentDirectory(), "/");
    EXPECT_EQ(client->UserName(), "anonymous");
    EXPECT_FALSE(client->Busy());
    EXPECT_EQ(client->LastFtpError()->Number(), 0);
    EXPECT_EQ(log->protocol[0].rfind("< 220", 0), 0u);
    EXPECT_EQ(log->protocol[1], "> USER anonymous");
}

TEST_F(CFtpClientLive, UserLoginByHostNameThenQuitAndLogInAgain) {
    client->setFtpServer("localhost");
    client->setUserName(PyFtpServer::User);
    client->setPassword(PyFtpServer::Password);
    login();
    EXPECT_NE(std::find(log->protocol.begin(), log->protocol.end(), "> PASS s3cret"),
              log->protocol.end());
    EXPECT_EQ(client->UserName(), PyFtpServer::User);

    EXPECT_EQ(complete([&] { client->QuitSession(); }), "OnQuitSession 0");
    ASSERT_TRUE(runUntil([&] { return client->FtpSessionState() == 1; }));

    log->clear();
    login();
    EXPECT_EQ(log->states, (std::vector<std::int32_t>{2, 3, 4, 4, 5, 13, 0}));
}

TEST_F(CFtpClientLive, DirectoryAndFileCommandsChangeTheServerDisk) {
    login();
    const fs::path root = server->root();
    EXPECT_EQ(complete([&] { client->CreateDirectory("docs"); }), "OnCreateDirectory 0");
    EXPECT_TRUE(fs::is_directory(root / "docs"));

    EXPECT_EQ(complete([&] { client->SetCurrentDirectory("docs"); }), "OnSetCurrentDirectory 0");
    EXPECT_EQ(client->CurrentDirectory(), "/"); // CWD alone does not update it
    EXPECT_EQ(complete([&] { client->GetCurrentDirectory(); }), "OnGetCurrentDirectory 0");
    EXPECT_EQ(client->CurrentDirectory(), "/docs");

    std::ofstream(root / "docs" / "a.txt") << "hello";
    EXPECT_EQ(complete([&] { client->RenameFile("a.txt", "b.txt"); }), "OnRenameFile 0");
    EXPECT_FALSE(fs::exists(root / "docs" / "a.txt"));
    EXPECT_TRUE(fs::exists(root / "docs" / "b.txt"));

    EXPECT_EQ(complete([&] { client->DeleteFile("b.txt"); }), "OnDeleteFile 0");
    EXPECT_FALSE(fs::exists(root / "docs" / "b.txt"));

    EXPECT_EQ(complete([&] { client->SetCurrentDirectory("/"); }), "OnSetCurrentDirectory 0");
    EXPECT_EQ(complete([&] { client->RemoveDirectory("docs"); }), "OnRemoveDirectory 0");
    EXPECT_FALSE(fs::exists(root / "docs"));
    EXPECT_EQ(client->FtpSessionState(), 0);
}

TEST_F(CFtpClientLive, RefusedCommandsReport16550) {
    login();
    const std::vector<std::pair<std::function<void()>, std::string>> calls = {
        {[&] { client->SetCurrentDirectory("missing"); }, "OnSetCurrentDirectory 1"},
        {[&] { client->RemoveDirectory("missing"); }, "OnRemoveDirectory 1"},
        {[&] { client->DeleteFile("missing.txt"); }, "OnDeleteFile 1"},
        {[&] { client->RenameFile("missing.txt", "other.txt"); }, "OnRenameFile 1"},
    };
    for (const auto& [call, expected] : calls) {
        EXPECT_EQ(complete(call), expected);
        EXPECT_EQ(client->LastFtpError()->Number(), 16550);
        EXPECT_EQ(client->LastFtpError()->Description(), "Requested action not taken.");
        EXPECT_EQ(client->LastFtpError()->Source(), "Brindle.CFtpClient");
        EXPECT_EQ(client->FtpSessionState(), 0);
    }
    // The next method starts clean.
    EXPECT_EQ(complete([&] { client->GetCurrentDirectory(); }), "OnGetCurrentDirectory 0");
    EXPECT_EQ(client->LastFtpError()->Number(), 0);
}

TEST_F(CFtpClientLive, WrongPasswordEndsTheLoginAndClosesTheConnection) {
    client->setUserName(PyFtpServer::User);
    client->setPassword("wrong");
    EXPECT_EQ(complete([&] { client->Connect(); }), "OnConnect 1");
    EXPECT_EQ(client->LastFtpError()->Number(), 16530);
    EXPECT_EQ(client->LastFtpError()->Description(), "Not logged in.");
    EXPECT_EQ(client->LastFtpError()->Source(), "Brindle.CFtpClient");
    EXPECT_EQ(client->FtpSessionState(), 0);
    ASSERT_TRUE(runUntil([&] { return client->FtpSessionState() == 1; }));
    EXPECT_EQ(log->count(), 1u);
}

TEST_F(CFtpClientLive, ClosedPortReportsTheSocketError) {
    client->setRemotePort(ftptest::closedPort());
    EXPECT_EQ(complete([&] { client->Connect(); }), "OnConnect 1");
    EXPECT_EQ(client->LastFtpError()->Number(), 10061);
    EXPECT_EQ(client->LastFtpError()->Description(), GetErrorDescription(10061));
    EXPECT_EQ(client->LastFtpError()->Source(), "CFtpClient.m_objControlSocket_OnError");
    EXPECT_EQ(client->FtpSessionState(), 0);
    EXPECT_EQ(log->states, (std::vector<std::int32_t>{2, 0}));
}

TEST_F(CFtpClientLive, SecondMethodWhilePendingIsRefusedAndTheFirstCompletes) {
    login();
    client->GetCurrentDirectory();
    const std::string busy = "Waiting fot the server response on the previous command.";
    try {
        client->DeleteFile("x");
        ADD_FAILURE() << "not refused";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 16007);
        EXPECT_EQ(e.source(), "CFtpClient.DeleteFile");
        EXPECT_EQ(e.description(),
                  "CFtpClient.DeleteFile failed: Cannot execute the DeleteFile method. " + busy);
    }
    try {
        client->SetCurrentDirectory("x");
        ADD_FAILURE() << "not refused";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.description(), "CFtpClient.SetCurrentDirectory failed: Cannot execute the "
                                   "SetCurrentDirectory method. " +
                                       busy);
    }
    EXPECT_THROW(client->QuitSession(), platform::Error);
    EXPECT_TRUE(client->Busy());
    ASSERT_TRUE(runUntil([&] { return log->count() > 1; }));
    EXPECT_EQ(log->last(), "OnGetCurrentDirectory 0");
    EXPECT_EQ(log->count(), 2u);
}

TEST_F(CFtpClientLive, HandlerMayReleaseTheClientThatRaisedTheEvent) {
    bool connected = false;
    client->OnConnect.subscribe([&](std::int32_t status) {
        connected = status == 0;
        client.reset();
    });
    client->Connect();
    ASSERT_TRUE(runUntil([&] { return client == nullptr; }));
    EXPECT_TRUE(connected);
    runUntil([] { return false; }, 0.2); // whatever was still queued for it goes nowhere
}

} // namespace
