#include "ftp_test_servers.h"

#include "ftp_test_tls.h"

#include "platform/event_loop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ftptest {

namespace {

const char* const ServerScript = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer
root, user, password, host = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
if int(sys.argv[5]) > 0:
    ThrottledDTPHandler.read_limit = int(sys.argv[5])
    FTPHandler.dtp_handler = ThrottledDTPHandler
logging.basicConfig(level=logging.INFO)
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
authorizer.add_anonymous(root, perm="elradfmwMT")
FTPHandler.authorizer = authorizer
FTPHandler.auth_failed_timeout = 0.1
server = FTPServer((host, 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)PY";

// Listens on `host` (a loopback address) and `port` (0: any free one).
int loopbackListener(int& port, const char* host = "127.0.0.1") {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &address.sin_addr);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

bool waitReadable(int fd, std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!stop && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0)
            return true;
    }
    return false;
}

} // namespace

// --- server programs ---------------------------------------------------------------

ServerProcess::ServerProcess(const char* folderPrefix) {
    std::string pattern = "/tmp/" + std::string(folderPrefix) + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    m_root = m_dir / "root";
    std::filesystem::create_directory(m_root);
}

ServerProcess::~ServerProcess() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void ServerProcess::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}

// --- pyftpdlib ---------------------------------------------------------------------

PyFtpServer::PyFtpServer(const char* host, int uploadBytesPerSecond)
    : ServerProcess("mitu-ftp-test") {
    const std::string log = (m_dir / "server.log").string();

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], 1);
        int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            ::dup2(err, 2);
        const std::string limit = std::to_string(uploadBytesPerSecond);
        ::execl("/usr/bin/python3", "python3", "-c", ServerScript, m_root.c_str(), User, Password,
                host, limit.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    std::atomic<bool> never{false};
    while (line.find('\n') == std::string::npos &&
           waitReadable(out[0], std::chrono::seconds(15), never)) {
        char buffer[64];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    m_port = std::atoi(line.c_str());
    if (m_port <= 0) {
        stop();
        throw std::runtime_error("the FTP server did not start; see " + log);
    }
}

// --- vsftpd ------------------------------------------------------------------------

namespace {

bool acceptsConnections(int port, bool ipv6) {
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = address.sin_port;
    const bool ok =
        ipv6 ? ::connect(fd, reinterpret_cast<sockaddr*>(&address6), sizeof address6) == 0
             : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

VsFtpServer::VsFtpServer(const std::string& extraConfig, bool ipv6)
    : ServerProcess("mitu-vsftpd-test") {
    std::filesystem::create_directory(m_dir / "empty");
    const std::filesystem::path config = m_dir / "vsftpd.conf";
    const std::string log = (m_dir / "server.log").string();

    for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
        m_port = closedPort();
        std::FILE* f = std::fopen(config.c_str(), "w");
        if (!f)
            throw std::runtime_error("cannot write the vsftpd configuration");
        std::fprintf(f,
                     "%s\nlisten_port=%d\nbackground=NO\n"
                     "run_as_launching_user=YES\nseccomp_sandbox=NO\nsecure_chroot_dir=%s\n"
                     "anonymous_enable=YES\nlocal_enable=NO\nanon_root=%s\nwrite_enable=YES\n"
                     "anon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                     "anon_other_write_enable=YES\nanon_umask=022\nno_anon_password=YES\n"
                     "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
                     "use_localtime=YES\nxferlog_enable=NO\nvsftpd_log_file=%s\n"
                     "ftpd_banner=vsftpd ready\n%s",
                     ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1"
                          : "listen=YES\nlisten_address=127.0.0.1",
                     m_port, (m_dir / "empty").c_str(), m_root.c_str(), log.c_str(),
                     extraConfig.c_str());
        std::fclose(f);
        m_pid = ::fork();
        if (m_pid == 0) {
            int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0) {
                ::dup2(err, 1);
                ::dup2(err, 2);
            }
            ::execl("/usr/sbin/vsftpd", "vsftpd", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!acceptsConnections(m_port, ipv6) && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1; // it ended (port taken meanwhile?): try another
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_pid > 0 && !acceptsConnections(m_port, ipv6))
            stop();
    }
    if (m_pid < 0) {
        stop();
        throw std::runtime_error("vsftpd did not start; see " + log);
    }
}

// --- certificates -----------------------------------------------------------------

namespace {

// `openssl ARGS` in `dir`, its output in dir/openssl.log; throws if it fails.
void openssl(const std::filesystem::path& dir, const std::string& args) {
    const std::string command =
        "cd '" + dir.string() + "' && /usr/bin/openssl " + args + " >>openssl.log 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl failed; see " + (dir / "openssl.log").string());
}

// The smallest configuration `openssl ca` signs with, for chosen dates.
const char* const SigningConfig = "[ca]\ndefault_ca=own\n[own]\ndir=.\ndatabase=index.txt\n"
                                  "new_certs_dir=.\nserial=serial\ndefault_md=sha256\n"
                                  "policy=any\ncopy_extensions=copy\nunique_subject=no\n"
                                  "[any]\ncommonName=supplied\n";

} // namespace

TestCertificate::TestCertificate(Kind kind) {
    char pattern[] = "/tmp/mitu-cert-test-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    m_cert = m_dir / "cert.pem";
    m_key = m_dir / "key.pem";
    const std::string subject =
        kind == Kind::OtherName
            ? "-subj /CN=elsewhere.test -addext subjectAltName=DNS:elsewhere.test"
        : kind == Kind::CommonNameOnly
            ? "-subj /CN=localhost"
            : "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";
    if (kind != Kind::Expired) {
        openssl(m_dir, "req -x509 -newkey rsa:2048 -nodes -days 2 -keyout key.pem -out cert.pem " +
                           subject);
        return;
    }
    writeFile(m_dir / "signing.cnf", SigningConfig);
    writeFile(m_dir / "index.txt", "");
    writeFile(m_dir / "serial", "01\n");
    openssl(m_dir, "req -new -newkey rsa:2048 -nodes -keyout key.pem -out request.pem " + subject);
    openssl(m_dir, "ca -batch -config signing.cnf -selfsign -keyfile key.pem -in request.pem "
                   "-out cert.pem -startdate 20200101000000Z -enddate 20200102000000Z");
}

TestCertificate::~TestCertificate() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::string TestCertificate::vsftpdConfig() const {
    return "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
           "force_anon_data_ssl=YES\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
           "require_ssl_reuse=YES\nrsa_cert_file=" +
           m_cert.string() + "\nrsa_private_key_file=" + m_key.string() + "\n";
}

// --- scripted server ---------------------------------------------------------------

void Peer::send(const std::string& text, std::chrono::milliseconds pause) {
    if (m_fd < 0)
        return;
    std::size_t sent = 0;
    if (m_tls && !m_tls->write(text))
        return;
    while (!m_tls && sent < text.size()) {
        ssize_t n = ::send(m_fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
    std::this_thread::sleep_for(pause);
}

// Reads what the connection has: through TLS once it is protected.
namespace {
ssize_t receive(int fd, const std::shared_ptr<TlsStream>& tls, char* buffer, std::size_t size) {
    if (tls)
        return tls->read(buffer, static_cast<int>(size));
    return ::recv(fd, buffer, size, 0);
}
} // namespace

bool Peer::startTls(const ServerTls& tls, int tickets) {
    m_tls = std::make_shared<TlsStream>(tls, m_fd, tickets);
    return m_tls->ok();
}

std::string Peer::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto end = m_pending.find("\r\n");
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 2);
            {
                std::lock_guard lock(m_mutex);
                m_lines.push_back(line);
            }
            if (line.rfind("SIZE ", 0) == 0 && !m_sizeReply.empty()) {
                send(m_sizeReply, std::chrono::milliseconds(0));
                continue;
            }
            if (line == "FEAT" && !m_featReply.empty()) {
                send(m_featReply, std::chrono::milliseconds(0));
                continue;
            }
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (m_fd < 0 || left.count() <= 0 ||
            (!(m_tls && m_tls->pending()) && !waitReadable(m_fd, left, m_stop)))
            return std::string();
        char buffer[4096];
        ssize_t n = receive(m_fd, m_tls, buffer, sizeof buffer);
        if (n <= 0)
            return std::string();
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

bool Peer::waitForClose(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(m_fd, left, m_stop))
            return false;
        char buffer[4096];
        ssize_t n = receive(m_fd, m_tls, buffer, sizeof buffer);
        if (n <= 0)
            return true;
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

void Peer::close() {
    m_tls.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void Peer::reset() {
    if (m_fd >= 0) {
        linger hard{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
}

std::vector<std::string> Peer::lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

ScriptedServer::ScriptedServer(Script script) : m_script(std::move(script)) {
    m_listener = loopbackListener(m_port);
    m_thread = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void ScriptedServer::run() {
    if (!waitReadable(m_listener, std::chrono::seconds(30), m_stop))
        return;
    int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Peer peer(fd, m_stop);
    {
        std::lock_guard lock(m_mutex);
        m_peer = &peer;
    }
    m_script(peer);
    m_done = true;
    // Lines that come after the script are recorded too.
    while (!m_stop && !peer.closed()) {
        if (peer.readLine(std::chrono::milliseconds(100)).empty()) {
            char probe;
            if (peer.m_fd >= 0 && ::recv(peer.m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                peer.close();
        }
    }
    std::lock_guard lock(m_mutex);
    m_finalLines = peer.lines();
    m_peer = nullptr;
    peer.close();
}

std::vector<std::string> ScriptedServer::received() const {
    std::lock_guard lock(m_mutex);
    return m_peer ? m_peer->lines() : m_finalLines;
}

// --- data connections of scripted servers -----------------------------------------

DataChannel::~DataChannel() {
    close();
    if (m_listener >= 0)
        ::close(m_listener);
}

std::string DataChannel::listen(const char* host, int port) {
    m_port = port;
    m_listener = loopbackListener(m_port, host);
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(m_port / 256) + "," +
           std::to_string(m_port % 256) + ")\r\n";
}

bool DataChannel::accept(std::chrono::milliseconds timeout) {
    std::atomic<bool> never{false};
    if (m_listener < 0 || !waitReadable(m_listener, timeout, never))
        return false;
    m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    return m_fd >= 0;
}

bool DataChannel::connect(const std::string& portArgument, const char* from) {
    int n[6] = {};
    if (std::sscanf(portArgument.c_str(), "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4],
                    &n[5]) != 6)
        return false;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr =
        htonl(static_cast<std::uint32_t>(n[0] << 24 | n[1] << 16 | n[2] << 8 | n[3]));
    address.sin_port = htons(static_cast<std::uint16_t>(n[4] * 256 + n[5]));
    return ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

void DataChannel::send(const std::string& bytes) {
    if (m_tls) {
        m_tls->write(bytes);
        return;
    }
    std::size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

std::string DataChannel::receiveAll(std::chrono::milliseconds timeout) {
    std::string data;
    std::atomic<bool> never{false};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(m_fd, left, never))
            break;
        char buffer[65536];
        ssize_t n = receive(m_fd, m_tls, buffer, sizeof buffer);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

bool DataChannel::startTls(const ServerTls& tls, int tickets) {
    m_tls = std::make_shared<TlsStream>(tls, m_fd, tickets);
    return m_tls->ok();
}

bool DataChannel::resumed() const {
    return m_tls && m_tls->reused();
}

void DataChannel::closeNotify() {
    if (m_tls)
        m_tls->closeNotify();
}

void DataChannel::close() {
    m_tls.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void DataChannel::reset() {
    if (m_fd >= 0) {
        linger hard{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed + i / 251) % 256);
    return bytes;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot write " + path.string());
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string readFile(const std::filesystem::path& path) {
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
}

int closedPort() {
    int port = 0;
    int fd = loopbackListener(port);
    ::close(fd);
    return port;
}

bool runUntil(const std::function<bool()>& done, double seconds) {
    auto& loop = platform::EventLoop::instance();
    const auto deadline =
        platform::Clock::now() + std::chrono::duration_cast<platform::Clock::duration>(
                                     std::chrono::duration<double>(seconds));
    // Wakes at least every 20 ms: `done` may watch the server thread too.
    while (!done()) {
        const auto now = platform::Clock::now();
        if (now >= deadline)
            return done();
        loop.waitForEvents(std::min(deadline, now + std::chrono::milliseconds(20)));
    }
    return true;
}

} // namespace ftptest
