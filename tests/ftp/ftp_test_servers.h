#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace ftptest {

class ServerTls;
class TlsStream;

// A server program of the tests' own, in a fresh temporary folder with a
// `root` below it; ended (and the folder removed) with the object.
class ServerProcess {
public:
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return m_port; }
    const std::filesystem::path& root() const { return m_root; }

protected:
    explicit ServerProcess(const char* folderPrefix);
    void stop(); // ends the program, if it runs; keeps the folder

    std::filesystem::path m_dir;
    std::filesystem::path m_root;
    pid_t m_pid = -1;
    int m_port = 0;
};

// A real FTP server (pyftpdlib under the system's Python) on a free
// loopback port of `host` ("127.0.0.1" or "::1"), serving a fresh
// temporary folder. One anonymous account and one user account, both
// allowed to change everything.
class PyFtpServer : public ServerProcess {
public:
    static constexpr const char* User = "tester";
    static constexpr const char* Password = "s3cret";

    // `uploadBytesPerSecond` above 0: the server reads uploads no faster.
    explicit PyFtpServer(const char* host = "127.0.0.1", int uploadBytesPerSecond = 0);
};

// A second real FTP server: vsftpd, standalone with a generated
// configuration, on a free loopback port, anonymous users allowed to
// upload, overwrite and create folders in a fresh temporary root. On
// ::1 instead of 127.0.0.1 when `ipv6`.
class VsFtpServer : public ServerProcess {
public:
    // `extraConfig`: more configuration lines, each ended by a line feed.
    explicit VsFtpServer(const std::string& extraConfig = std::string(), bool ipv6 = false);
};

// A certificate and its key for a test TLS server, made with the openssl
// tool in a fresh temporary folder: self-signed for localhost and
// 127.0.0.1, for another name, one that expired in 2020, or one that
// names localhost in its common name only (no subjectAltName).
class TestCertificate {
public:
    enum class Kind { Localhost, OtherName, Expired, CommonNameOnly };

    explicit TestCertificate(Kind kind = Kind::Localhost);
    ~TestCertificate();
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    const std::filesystem::path& cert() const { return m_cert; }
    const std::filesystem::path& key() const { return m_key; }
    // vsftpd configuration lines: explicit TLS with this certificate,
    // required for the login and every data connection, which must resume
    // the control connection's session.
    std::string vsftpdConfig() const;

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_cert;
    std::filesystem::path m_key;
};

// The server side of one scripted control connection, for the script.
class Peer {
public:
    explicit Peer(int fd, const std::atomic<bool>& stop) : m_fd(fd), m_stop(stop) {}

    // Writes `text` at once, then pauses so that the next piece reaches the
    // client in a read of its own.
    void send(const std::string& text,
              std::chrono::milliseconds pause = std::chrono::milliseconds(80));
    // The next line from the client without its CR LF; "" at the end of
    // the connection or after `timeout`.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Waits for the client to close its side (true) or for `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void close();
    // Tears the connection down with a reset instead of an orderly close.
    void reset();
    bool closed() const { return m_fd < 0; }
    // Takes the client's TLS handshake (after 234): from here on the
    // script's lines are protected. False if the handshake failed.
    bool startTls(const ServerTls& tls, int tickets = 2);

    // Every line received so far.
    std::vector<std::string> lines() const;
    // The reply readLine gives a SIZE command by itself before it reads on
    // ("": SIZE is a line like any other). Refused unless set otherwise.
    void answerSize(const std::string& reply) { m_sizeReply = reply; }
    // The same for FEAT, refused unless set otherwise: a script need not
    // know whether its client asks for the server's features.
    void answerFeat(const std::string& reply) { m_featReply = reply; }

private:
    friend class ScriptedServer;
    int m_fd;
    const std::atomic<bool>& m_stop;
    std::string m_pending;
    std::string m_sizeReply = "550 SIZE not available here\r\n";
    std::string m_featReply = "502 FEAT not implemented\r\n";
    std::shared_ptr<TlsStream> m_tls;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// A loopback server that accepts one connection and plays a script on it:
// replies split into chosen pieces, checks of what the client sent. After
// the script it keeps the connection until the client closes it.
class ScriptedServer {
public:
    using Script = std::function<void(Peer&)>;

    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return m_port; }
    // Lines the client has sent so far.
    std::vector<std::string> received() const;
    bool scriptDone() const { return m_done; }

private:
    void run();

    Script m_script;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    mutable std::mutex m_mutex;
    Peer* m_peer = nullptr;
    std::vector<std::string> m_finalLines;
    std::thread m_thread;
};

// The server side of a data connection for scripted servers: a loopback
// listener for passive mode, or a connection to the client's port in
// active mode. Blocking calls with time limits, for the script's thread.
class DataChannel {
public:
    DataChannel() = default;
    ~DataChannel();
    DataChannel(const DataChannel&) = delete;
    DataChannel& operator=(const DataChannel&) = delete;

    // Passive: listens on a loopback address and port (0: a free one); the
    // 227 text for it.
    std::string listen(const char* host = "127.0.0.1", int port = 0);
    int port() const { return m_port; }
    // Passive: accepts the client's connection (false after `timeout`).
    bool accept(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Active: connects to the address of a PORT argument ("h1,h2,h3,h4,p1,p2"),
    // from the local address `from` when one is given.
    bool connect(const std::string& portArgument, const char* from = nullptr);

    void send(const std::string& bytes);
    // Everything the client sends until it closes its side (or `timeout`).
    std::string receiveAll(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Orderly close, or a reset (the client sees the connection torn down).
    // Protected, a close is a bare TCP end without close_notify.
    void close();
    void reset();

    // Takes the client's TLS handshake; false if it failed.
    bool startTls(const ServerTls& tls, int tickets = 0);
    // The client resumed an earlier TLS session on this connection.
    bool resumed() const;
    // Sends close_notify, leaving the TCP connection open.
    void closeNotify();

private:
    std::shared_ptr<TlsStream> m_tls;
    int m_listener = -1;
    int m_fd = -1;
    int m_port = 0;
};

// The pattern bytes tests transfer: `size` bytes that differ at every offset mod 251.
std::string patternBytes(std::size_t size, unsigned seed = 0);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// A loopback port with nothing listening on it.
int closedPort();

// Runs the event loop until `done` or `seconds` have passed.
bool runUntil(const std::function<bool()>& done, double seconds = 10);

} // namespace ftptest
