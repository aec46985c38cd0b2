#pragma once

// A client connected to a scripted server, for tests of the data side and
// of hostile servers: the client, its event log, a scratch folder, and
// waits for completion events.

#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_test_servers.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace ftptest {

// Greeting, USER answered with 230 at once, PWD.
inline void quickLogin(Peer& peer) {
    peer.send("220 Ready\r\n");
    peer.readLine();
    peer.send("230 Logged in\r\n");
    peer.readLine();
    peer.send("257 \"/\" is the current directory\r\n");
}

struct ScriptedSession {
    ScriptedServer server;
    std::shared_ptr<CFtpClient> client;
    EventLog log;
    std::vector<std::int64_t> progress;
    std::filesystem::path local;

    ScriptedSession(ScriptedServer::Script script, bool passive, std::int16_t timeOutSeconds,
                    bool connect = true)
        : server(std::move(script)), client(CFtpClient::create()), log(*client) {
        client->setFtpServer("127.0.0.1");
        client->setRemotePort(server.port());
        client->setPassiveMode(passive);
        client->setTimeOut(timeOutSeconds);
        client->OnDataTransferProgress.subscribe([this](std::int64_t n) { progress.push_back(n); });
        char pattern[] = "/tmp/mitu-ftp-session-XXXXXX";
        local = ::mkdtemp(pattern);
        if (connect) {
            client->Connect();
            runUntil([&] { return log.count() > 0; });
        }
    }
    ~ScriptedSession() {
        client.reset();
        std::error_code ignored;
        std::filesystem::remove_all(local, ignored);
    }
    bool connected() const { return log.completions == std::vector<std::string>{"OnConnect 0"}; }
    // The next completion event; a hang past `seconds` shows as "no completion".
    std::string next(double seconds) {
        const std::size_t before = log.count();
        if (!runUntil([&] { return log.count() > before; }, seconds))
            return "no completion";
        return log.last();
    }
    // No further completion event arrives within `seconds`.
    bool quietFor(double seconds) {
        const std::size_t before = log.count();
        runUntil([&] { return log.count() > before; }, seconds);
        return log.count() == before;
    }
    bool sent(const std::string& line) const {
        auto lines = server.received();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::int32_t error() const {
        return client->LastFtpError() ? client->LastFtpError()->Number() : 0;
    }
};

} // namespace ftptest
