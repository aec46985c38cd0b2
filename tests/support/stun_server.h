#pragma once

// A STUN server of a test's own: coturn's turnserver, STUN only, no TLS, on
// loopback (inside a network namespace of the test's when given).

#include "support/netns.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testing_stun {

// A STUN server of the test's own: coturn's turnserver, STUN only, no
// TLS, on 127.0.0.1 and ::1 (inside `ns` when given), its files in a
// folder of its own.
class StunServer {
public:
    explicit StunServer(int port, const testing_netns::Namespace* ns = nullptr) : m_port(port) {
        char pattern[] = "/tmp/mitu-stun-XXXXXX";
        if (::access(Program, X_OK) != 0 || !::mkdtemp(pattern))
            return;
        m_dir = pattern;
        std::vector<std::string> args;
        if (ns)
            args = {"/usr/bin/env", "ip", "netns", "exec", ns->name()};
        const std::string dir = m_dir.string(), p = std::to_string(port);
        const std::vector<std::string> own = {Program,
                                              "-n",
                                              "--listening-ip=127.0.0.1",
                                              "--listening-ip=::1",
                                              "--listening-port=" + p,
                                              "--stun-only",
                                              "--no-tls",
                                              "--no-dtls",
                                              "--no-cli",
                                              "--no-stdout-log",
                                              "--simple-log",
                                              "--log-file=" + dir + "/log",
                                              "--pidfile=" + dir + "/pid",
                                              "--userdb=" + dir + "/db"};
        args.insert(args.end(), own.begin(), own.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = dir + "/out";
        m_pid = ::fork();
        if (m_pid == 0) { // its complaints (no SCTP here ...) in its folder
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        // Ready once it listens for both UDP and TCP.
        const std::string inside = ns ? "ip netns exec " + ns->name() + " " : "";
        const std::string probe = "test $(" + inside + "ss -Hlnut 'sport = :" + p +
                                  "' 2>&1 | grep -c -e '^udp' -e '^tcp') -ge 2";
        for (int i = 0; i < 50 && !m_ready; ++i) {
            m_ready = std::system(probe.c_str()) == 0;
            if (!m_ready)
                ::usleep(100000);
        }
    }
    ~StunServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::error_code ignored;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ignored);
    }
    bool ready() const { return m_ready; }
    std::string server(const char* ip = "127.0.0.1") const {
        return std::string(ip) + ":" + std::to_string(m_port);
    }

    // A port nothing on loopback uses now.
    static int freePort() {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(fd);
        return ntohs(address.sin_port);
    }

private:
    static constexpr const char* Program = "/usr/bin/turnserver";
    int m_port;
    pid_t m_pid = -1;
    std::filesystem::path m_dir;
    bool m_ready = false;
};

} // namespace testing_stun
