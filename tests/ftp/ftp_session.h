#pragma once

// The one fixture of the scripted-server tests: a client on a scripted
// server with a chosen time-out, its event log, a scratch folder, and waits
// for completion events.

#include "ftp/ftp_client.h"
#include "ftp_event_log.h"
#include "ftp_test_servers.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace ftptest {

// Greeting, USER, PASS, PWD as a plain server answers them.
inline void login(Peer& peer, const std::string& greeting = "220 Ready\r\n") {
    peer.send(greeting);
    peer.readLine();
    peer.send("331 Password required\r\n");
    peer.readLine();
    peer.send("230 Logged in\r\n");
    peer.readLine();
    peer.send("257 \"/\" is the current directory\r\n");
}

// Greeting, USER answered with 230 at once, PWD.
inline void quickLogin(Peer& peer) {
    peer.send("220 Ready\r\n");
    peer.readLine();
    peer.send("230 Logged in\r\n");
    peer.readLine();
    peer.send("257 \"/\" is the current directory\r\n");
}

// TYPE and PASV answered and the data connection accepted. Returns false
// if the client did not connect.
inline bool openPassive(Peer& peer, DataChannel& data) {
    peer.readLine(); // TYPE
    peer.send("200 Type set\r\n");
    peer.readLine(); // PASV
    peer.send(data.listen());
    return data.accept(std::chrono::seconds(3));
}

// openPassive, then the transfer command (RETR, STOR, LIST) read and
// answered with `preliminary`. Returns false if the client did not connect.
inline bool openTransfer(Peer& peer, DataChannel& data,
                         const std::string& preliminary = "150 Opening\r\n",
                         std::chrono::milliseconds pause = std::chrono::milliseconds(80)) {
    if (!openPassive(peer, data))
        return false;
    peer.readLine();
    peer.send(preliminary, pause);
    return true;
}

struct ScriptedSession {
    ScriptedServer server;
    std::shared_ptr<CFtpClient> client;
    EventLog log;
    std::vector<std::int64_t> progress;
    std::filesystem::path local;

    // `timeOutSeconds` 0 keeps the client's own time-out. With `connect`,
    // the session is connected (or has failed to) when the constructor ends.
    ScriptedSession(ScriptedServer::Script script, bool passive, std::int16_t timeOutSeconds,
                    bool connect = true)
        : server(std::move(script)), client(CFtpClient::create()), log(*client) {
        client->setFtpServer("127.0.0.1");
        client->setRemotePort(server.port());
        client->setPassiveMode(passive);
        if (timeOutSeconds > 0)
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
    // Connects and waits for the first completion: true if it was a success.
    bool connect() {
        client->Connect();
        return runUntil([&] { return log.count() > 0; }) && log.last() == "OnConnect 0";
    }
    bool has(const std::string& completion) const {
        return std::count(log.completions.begin(), log.completions.end(), completion) > 0;
    }
    bool waitFor(const std::string& completion, double seconds = 10) {
        return runUntil([&] { return has(completion); }, seconds);
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

// The fixture with a fixed time-out, and a wait for the next completion
// long enough for the time-out to have come.
template <std::int16_t TimeOutSeconds, int WaitSeconds> struct TimedSession : ScriptedSession {
    explicit TimedSession(ScriptedServer::Script script, bool passive = true, bool connect = true)
        : ScriptedSession(std::move(script), passive, TimeOutSeconds, connect) {}
    std::string next(double seconds = WaitSeconds) { return ScriptedSession::next(seconds); }
};

// A client connected to a scripted server.
using Session = TimedSession<5, 10>;
// A client connected to a server that stalls: short time-outs.
using ShortSession = TimedSession<2, 6>;

} // namespace ftptest
