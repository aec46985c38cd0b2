#include "support/netns.h"

#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testing_netns {

namespace {

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

std::unique_ptr<Namespace> Namespace::create(const std::string& tag) {
    static int counter = 0;
    std::string name =
        "mitu-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    if (!run("ip netns add " + name))
        return nullptr;
    std::unique_ptr<Namespace> ns(new Namespace(name));
    if (!ns->ip("link set lo up"))
        return nullptr;
    return ns;
}

Namespace::~Namespace() {
    run("ip netns del " + m_name);
}

bool Namespace::ip(const std::string& arguments) const {
    return run("ip -n " + m_name + " " + arguments);
}

bool Namespace::sysctl(const std::string& key, const std::string& value) const {
    std::string path = "/proc/sys/" + key;
    for (char& c : path)
        if (c == '.')
            c = '/';
    return run("ip netns exec " + m_name + " sh -c 'echo \"" + value + "\" > " + path + "'");
}

bool Namespace::link(const Namespace& peer, const std::string& localName,
                     const std::string& peerName) const {
    return ip("link add " + localName + " type veth peer name " + peerName + " netns " +
              peer.name()) &&
           ip("link set " + localName + " up") && peer.ip("link set " + peerName + " up");
}

Enter::Enter(const Namespace& ns) {
    m_original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(("/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
    m_ok = m_original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

Enter::~Enter() {
    if (m_original >= 0) {
        if (m_ok)
            ::setns(m_original, CLONE_NEWNET);
        ::close(m_original);
    }
}

} // namespace testing_netns
