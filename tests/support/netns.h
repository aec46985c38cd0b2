#pragma once

// Network namespaces that a test creates for itself, so that echo requests
// only ever reach addresses the test owns. Needs root (or CAP_SYS_ADMIN)
// and iproute2; `create` returns nullptr where the machine does not allow
// it, and the test skips.

#include <memory>
#include <string>

namespace testing_netns {

class Namespace {
public:
    // A fresh namespace with its loopback interface up.
    static std::unique_ptr<Namespace> create(const std::string& tag);
    ~Namespace();
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    const std::string& name() const { return m_name; }
    // Runs `ip -n NAME ARGUMENTS`; true on success.
    bool ip(const std::string& arguments) const;
    // Writes a sysctl inside the namespace ("net.ipv4.ip_forward", "1").
    bool sysctl(const std::string& key, const std::string& value) const;
    // Connects this namespace and `peer` with a veth pair.
    bool link(const Namespace& peer, const std::string& localName,
              const std::string& peerName) const;

private:
    explicit Namespace(std::string name) : m_name(std::move(name)) {}
    std::string m_name;
};

// Moves the calling thread into a namespace for its lifetime; sockets
// opened meanwhile belong to that namespace.
class Enter {
public:
    explicit Enter(const Namespace& ns);
    ~Enter();
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;
    bool ok() const { return m_ok; }

private:
    int m_original = -1;
    bool m_ok = false;
};

} // namespace testing_netns
