// The socket layer at its edges, each measured on loopback in this process:
//
//   accept   a listener with waiting requests while the process has no
//            descriptor left: requests reported and processor time in 2 s
//   lookups  1,000 host lookups (each 1 s long) abandoned at once: the most
//            threads the process had while they drained
//   flood    a peer sends 512 MiB to a socket whose owner never takes the
//            data: resident growth after 3 s, and what the sender got out
//   idle     2,000 connections that have each read one message: resident
//            growth, in total and per connection
//
//   build/bin/socket_edges_bench [accept|lookups|flood|idle ...] (default: all)

#include "net/socket.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace ws = platform::winsock;

platform::EventLoop& loop() {
    return platform::EventLoop::instance();
}

void runFor(double seconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    loop().runUntil([] { return false; }, deadline);
}

bool runUntil(const std::function<bool()>& done, double seconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    return loop().runUntil(done, deadline);
}

// A line of /proc/self/status ("VmRSS", "Threads") as a number.
long status(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, length, field) == 0 && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    return -1;
}

double processorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int portOf(const std::shared_ptr<CSocket>& s) {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    ws::getsockname(s->SocketHandle(), &address, &port);
    return ws::fromNetworkOrder(port);
}

sockaddr_in loopbackAddress(int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

std::shared_ptr<CSocket> listening() {
    auto listener = CSocket::create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    return listener;
}

void acceptStorm() {
    auto listener = listening();
    long refused = 0, accepted = 0;
    std::vector<std::shared_ptr<CSocket>> servers;
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) {
        if (id < 0) {
            ++refused;
            return;
        }
        ++accepted;
        servers.push_back(CSocket::create());
        servers.back()->Accept(id);
    });
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    int lowestFree = ::dup(2);
    ::close(lowestFree);
    rlimit low = original;
    low.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &low);
    sockaddr_in to = loopbackAddress(portOf(listener));
    for (int fd : clients)
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    double before = processorSeconds();
    auto start = Clock::now();
    runFor(2.0);
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    double used = processorSeconds() - before;
    ::setrlimit(RLIMIT_NOFILE, &original);
    auto freed = Clock::now();
    runUntil([&] { return accepted == 4; }, 5);
    std::printf("accept: out of descriptors for %.1f s with 4 requests waiting: %ld refusals "
                "reported, %.3f s of processor (%.1f%% of a core); after descriptors came back, "
                "%ld accepted in %.2f s\n",
                wall, refused, used, 100 * used / wall, accepted,
                std::chrono::duration<double>(Clock::now() - freed).count());
    for (int fd : clients)
        ::close(fd);
}

// Every name takes a second to look up.
class SlowResolver : public ws::Resolver {
public:
    int lookup(const std::string&, ws::HostEntry&) override {
        ++calls;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return ws::WSAHOST_NOT_FOUND;
    }
    std::string reverse(std::uint32_t) override { return {}; }
    std::atomic<int> calls{0};
};

void abandonedLookups() {
    auto resolver = std::make_shared<SlowResolver>();
    ws::setResolver(resolver);
    long threadsBefore = status("Threads");
    long peak = threadsBefore;
    {
        std::vector<std::shared_ptr<CSocket>> sockets;
        for (int i = 0; i < 1000; ++i) {
            sockets.push_back(CSocket::create());
            sockets.back()->Connect("slow.invalid", 9);
            peak = std::max(peak, status("Threads"));
        }
    } // all released: the lookups are abandoned
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(3)) {
        runFor(0.05);
        peak = std::max(peak, status("Threads"));
    }
    std::printf("lookups: 1000 abandoned lookups of 1 s each: threads %ld before, at most %ld "
                "while they drained; %d lookups ran\n",
                threadsBefore, peak, resolver->calls.load());
    ws::setResolver(nullptr);
}

void flood() {
    auto listener = listening();
    std::shared_ptr<CSocket> reader = CSocket::create();
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) { reader->Accept(id); });
    int writer = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loopbackAddress(portOf(listener));
    if (::connect(writer, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        std::abort();
    runUntil([&] { return reader->State() == CSocket::StateConnected; }, 5);
    long rssBefore = status("VmRSS");
    std::atomic<bool> stop{false};
    std::atomic<long long> written{0};
    std::thread sender([&] {
        std::vector<char> block(1 << 20, 'x');
        const long long total = 512LL << 20;
        while (!stop && written < total) {
            ssize_t n = ::send(writer, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                written += n;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    runFor(3.0);
    stop = true;
    sender.join();
    long rssAfter = status("VmRSS");
    std::printf("flood: 3 s of a peer sending up to 512 MiB that nobody takes: resident +%.1f "
                "MiB; the sender got %.1f MiB out, the socket holds %d bytes\n",
                (rssAfter - rssBefore) / 1024.0, written / 1048576.0, reader->BytesReceived());
    ::close(writer);
}

void idleConnections() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const int count = 2000;
    auto listener = listening();
    std::vector<std::shared_ptr<CSocket>> servers, clients;
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) {
        servers.push_back(CSocket::create());
        servers.back()->Accept(id);
    });
    long rssBefore = status("VmRSS");
    int arrivals = 0;
    for (int i = 0; i < count; ++i) {
        clients.push_back(CSocket::create());
        auto client = clients.back();
        client->OnDataArrival.subscribe(
            [&arrivals, weak = std::weak_ptr<CSocket>(client)](std::int32_t) {
                if (auto c = weak.lock()) {
                    Variant data;
                    c->GetData(data);
                    ++arrivals;
                }
            });
        client->Connect("127.0.0.1", portOf(listener));
        if (!runUntil([&] { return servers.size() == clients.size(); }, 5))
            std::abort();
        servers.back()->SendData(std::string("220 ready\r\n"));
    }
    runUntil([&] { return arrivals == count; }, 10);
    runFor(0.2);
    long rssAfter = status("VmRSS");
    std::printf("idle: %d connections (%d sockets) that each read one message: resident +%.1f "
                "MiB, %.1f KiB per connection\n",
                count, 2 * count + 1, (rssAfter - rssBefore) / 1024.0,
                double(rssAfter - rssBefore) / count);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> modes(argv + 1, argv + argc);
    if (modes.empty())
        modes = {"accept", "lookups", "flood", "idle"};
    for (const std::string& mode : modes) {
        if (mode == "accept")
            acceptStorm();
        else if (mode == "lookups")
            abandonedLookups();
        else if (mode == "flood")
            flood();
        else if (mode == "idle")
            idleConnections();
        else
            std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        std::fflush(stdout);
    }
    return 0;
}
