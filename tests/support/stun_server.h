#pragma once

// A STUN server of a test's own: coturn's turnserver, STUN only, no TLS, on
// 127.0.0.1 and ::1 (inside a network namespace of the test's when given),
// its log, database and complaints in a folder of its own.

#include "support/netns.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_stun {

class StunServer {
public:
    explicit StunServer(int port, const testing_netns::Namespace* ns = nullptr) : m_port(port) {
        char pattern[] = "/tmp/mitu-stun-XXXXXX";
        if (::access("/usr/bin/turnserver", X_OK) != 0 || !::mkdtemp(pattern))
            return;
        m_dir = pattern;
        const std::string inside = ns ? "ip netns exec " + ns->name() + " " : "";
        const std::string d = m_dir.string(), p = std::to_string(port);
        const std::string command =
            "exec " + inside + "/usr/bin/turnserver -n --listening-ip=127.0.0.1 " +
            "--listening-ip=::1 --listening-port=" + p + " --stun-only --no-tls --no-dtls " +
            "--no-cli --no-stdout-log --simple-log --log-file=" + d + "/log --pidfile=" + d +
            "/pid --userdb=" + d + "/db >" + d + "/out 2>&1";
        if ((m_pid = ::fork()) == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            ::_exit(127);
        }
        // Ready once it listens for both UDP and TCP and answers a Binding
        // request: a busy machine can show the sockets before the server
        // serves them.
        const std::string probe = "test $(" + inside + "ss -Hlnut 'sport = :" + p +
                                  "' 2>&1 | grep -c -e '^udp' -e '^tcp') -ge 2";
        for (int i = 0; i < 50 && !m_ready; ++i)
            m_ready =
                (std::system(probe.c_str()) == 0 && std::system(answers(inside, p).c_str()) == 0) ||
                (::usleep(100000), false);
    }
    ~StunServer() {
        if (m_pid > 0 && ::kill(m_pid, SIGTERM) == 0)
            ::waitpid(m_pid, nullptr, 0);
        std::error_code ignored;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ignored);
    }
    bool ready() const { return m_ready && m_pid > 0; }
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
    // A command that succeeds when a Binding request to 127.0.0.1:`port`,
    // sent from `inside` (a namespace, or empty), gets a success answer
    // within 0.2 s; it prints nothing.
    static std::string answers(const std::string& inside, const std::string& port) {
        return inside +
               "/usr/bin/python3 -c \"import socket, sys\n"
               "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
               "s.settimeout(0.2)\n"
               "try:\n"
               "    s.sendto(bytes.fromhex('000100002112a442') + b'mitu-ready?!', "
               "('127.0.0.1', " +
               port +
               "))\n"
               "    sys.exit(0 if s.recv(512)[:2] == bytes.fromhex('0101') else 1)\n"
               "except OSError:\n"
               "    sys.exit(1)\"";
    }

    int m_port;
    pid_t m_pid = -1;
    std::filesystem::path m_dir;
    bool m_ready = false;
};

} // namespace testing_stun
