// Loopback throughput of two CSocket objects on one event loop, against a
// plain blocking copy of the same bytes through a socket pair on two
// threads and against the floor of a one-thread loop: one thread moving the
// same blocks with plain epoll and non-blocking reads and writes; the rate of
// short replies answered one at a time, against the same with two blocking
// threads; and the cost of an idle loop waiting on a 1-second time-out.
//
//   build/bin/socket_bench [MiB to move, default 1024] [idle seconds, default 10]
//                          [rounds, default 5]
//
// Each copy runs in a process of its own (`--copy KIND MiB`) and over a
// connection to an address of its own in 127.0.0.0/8: a copy run after
// another in the same process, or to an address the kernel keeps figures
// of from earlier connections (TCP metrics), can inherit their state and
// fall into a slow way of running by chance; fresh ones all start alike.
// Every connection uses the same congestion control, cubic (reno where
// cubic is missing), whatever the system's default: with bbr the kernel
// paces each connection at the rate it estimated in its first
// milliseconds, and on loopback that estimate comes out anywhere between
// 2 and 9 GB/s, so the copy would measure the estimate, not the code.
// When strace is installed, the object copy runs once more under it to
// count the system calls per MiB moved.

#include "net/socket.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"
#include "timer/timeout.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t Block = 1 << 20;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The congestion control every connection of the benchmark uses.
const char* congestionControl() {
    static const char* name = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const char* chosen = "reno";
        if (::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, "cubic", 5) == 0)
            chosen = "cubic";
        ::close(fd);
        return chosen;
    }();
    return name;
}

void useCongestionControl(int fd) {
    const char* name = congestionControl();
    if (::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, std::strlen(name)) != 0)
        std::abort();
}

// A loopback address no earlier connection has gone to, as far as
// chance allows: 127.x.y.z with x, y and z drawn at random.
std::string freshLoopback() {
    static std::mt19937 draw{std::random_device{}()};
    std::uniform_int_distribution<int> part(1, 254);
    return "127." + std::to_string(part(draw)) + "." + std::to_string(part(draw)) + "." +
           std::to_string(part(draw));
}

// A connected pair of blocking TCP sockets on loopback: the same kernel
// path as the socket objects take, without the objects.
void tcpPair(int pair[2]) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, freshLoopback().c_str(), &sa.sin_addr);
    socklen_t length = sizeof sa;
    useCongestionControl(listener);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        std::abort();
    pair[0] = ::socket(AF_INET, SOCK_STREAM, 0);
    useCongestionControl(pair[0]);
    if (::connect(pair[0], reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        std::abort();
    pair[1] = ::accept(listener, nullptr, nullptr); // with the listener's congestion control
    ::close(listener);
}

double plainCopy(std::size_t blocks) {
    int pair[2];
    tcpPair(pair);
    std::vector<char> out(Block, 'x');
    auto start = Clock::now();
    std::thread writer([&] {
        for (std::size_t i = 0; i < blocks; ++i) {
            std::size_t done = 0;
            while (done < Block) {
                ssize_t n = ::write(pair[0], out.data() + done, Block - done);
                if (n <= 0)
                    std::abort();
                done += static_cast<std::size_t>(n);
            }
        }
        ::shutdown(pair[0], SHUT_WR);
    });
    std::vector<char> in(Block);
    std::size_t total = 0;
    for (;;) {
        ssize_t n = ::read(pair[1], in.data(), in.size());
        if (n <= 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    writer.join();
    double elapsed = seconds(Clock::now() - start);
    ::close(pair[0]);
    ::close(pair[1]);
    if (total != blocks * Block)
        std::abort();
    return total / elapsed / 1e6;
}

// The same blocks on one thread: plain epoll, both ends non-blocking, each
// write offering the rest of the block, each read asking for a whole block.
double epollCopy(std::size_t blocks) {
    int pair[2];
    tcpPair(pair);
    for (int fd : pair)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.fd = pair[0];
    ::epoll_ctl(ep, EPOLL_CTL_ADD, pair[0], &ev);
    ev.events = EPOLLIN;
    ev.data.fd = pair[1];
    ::epoll_ctl(ep, EPOLL_CTL_ADD, pair[1], &ev);
    std::vector<char> out(Block, 'x'), in(Block);
    const std::size_t total = blocks * Block;
    std::size_t written = 0, received = 0;
    auto start = Clock::now();
    while (received < total) {
        epoll_event ready[2];
        int count = ::epoll_wait(ep, ready, 2, 10000);
        if (count <= 0)
            std::abort();
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == pair[0]) {
                const std::size_t at = written % Block;
                ssize_t n = ::write(pair[0], out.data() + at, Block - at);
                if (n > 0)
                    written += static_cast<std::size_t>(n);
                else if (errno != EAGAIN)
                    std::abort();
                if (written == total) {
                    ev.events = 0;
                    ev.data.fd = pair[0];
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, pair[0], &ev);
                }
            } else {
                ssize_t n = ::read(pair[1], in.data(), in.size());
                if (n > 0)
                    received += static_cast<std::size_t>(n);
                else if (n == 0 || errno != EAGAIN)
                    std::abort();
            }
        }
    }
    double elapsed = seconds(Clock::now() - start);
    ::close(ep);
    ::close(pair[0]);
    ::close(pair[1]);
    return received / elapsed / 1e6;
}

double socketCopy(std::size_t blocks) {
    const std::string address = freshLoopback();
    auto& loop = platform::EventLoop::instance();
    auto listener = CSocket::create();
    auto sender = CSocket::create();
    auto receiver = CSocket::create();
    listener->Bind(0, address);
    useCongestionControl(listener->SocketHandle()); // the accepted socket's too
    listener->Listen();
    std::uint32_t bound;
    std::uint16_t port;
    platform::winsock::getsockname(listener->SocketHandle(), &bound, &port);
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) { receiver->Accept(id); });

    bool connected = false;
    sender->OnConnect.subscribe([&] { connected = true; });
    sender->Bind(0, address);
    useCongestionControl(sender->SocketHandle()); // before the connection starts
    sender->Connect(address, platform::winsock::fromNetworkOrder(port));
    loop.runUntil([&] { return connected && receiver->State() == CSocket::StateConnected; });

    ByteArray block(Block, 'x');
    std::size_t sent = 0, received = 0;
    sender->OnSendComplete.subscribe([&] {
        if (++sent < blocks)
            sender->SendData(block);
    });
    receiver->OnDataArrival.subscribe([&](std::int32_t) {
        Variant data;
        receiver->GetData(data, vartype::ByteArray);
        received += std::get<ByteArray>(data).size();
    });
    auto start = Clock::now();
    sender->SendData(block);
    loop.runUntil([&] { return received == blocks * Block; });
    double elapsed = seconds(Clock::now() - start);
    return received / elapsed / 1e6;
}

// Short replies, one at a time: the read path's cost per notification.
// Two objects on one loop answer each other's 16-byte message, against
// two blocking threads doing the same over a plain socket pair.
constexpr int Replies = 100000;
constexpr std::size_t ReplySize = 16;

double plainReplies() {
    int pair[2];
    tcpPair(pair);
    auto exchange = [](int fd, bool first) {
        char buffer[ReplySize] = {};
        for (int i = 0; i < Replies; ++i) {
            if (first && ::write(fd, buffer, ReplySize) != static_cast<ssize_t>(ReplySize))
                std::abort();
            for (std::size_t got = 0; got < ReplySize;) {
                ssize_t n = ::read(fd, buffer + got, ReplySize - got);
                if (n <= 0)
                    std::abort();
                got += static_cast<std::size_t>(n);
            }
            if (!first && ::write(fd, buffer, ReplySize) != static_cast<ssize_t>(ReplySize))
                std::abort();
        }
    };
    auto start = Clock::now();
    std::thread answerer(exchange, pair[1], false);
    exchange(pair[0], true);
    answerer.join();
    double elapsed = seconds(Clock::now() - start);
    ::close(pair[0]);
    ::close(pair[1]);
    return Replies / elapsed;
}

double objectReplies() {
    const std::string address = freshLoopback();
    auto& loop = platform::EventLoop::instance();
    auto listener = CSocket::create();
    auto a = CSocket::create();
    auto b = CSocket::create();
    listener->Bind(0, address);
    useCongestionControl(listener->SocketHandle()); // the accepted socket's too
    listener->Listen();
    std::uint32_t bound;
    std::uint16_t port;
    platform::winsock::getsockname(listener->SocketHandle(), &bound, &port);
    listener->OnConnectionRequest.subscribe([&](std::int32_t id) { b->Accept(id); });
    bool connected = false;
    a->OnConnect.subscribe([&] { connected = true; });
    a->Bind(0, address);
    useCongestionControl(a->SocketHandle());
    a->Connect(address, platform::winsock::fromNetworkOrder(port));
    loop.runUntil([&] { return connected && b->State() == CSocket::StateConnected; });
    const ByteArray message(ReplySize, 'r');
    int answered = 0;
    auto answer = [&](CSocket& self, bool count) {
        if (self.BytesReceived() < static_cast<std::int32_t>(ReplySize))
            return;
        Variant data;
        self.GetData(data, vartype::ByteArray);
        if (!count || ++answered < Replies)
            self.SendData(message);
    };
    a->OnDataArrival.subscribe([&](std::int32_t) { answer(*a, true); });
    b->OnDataArrival.subscribe([&](std::int32_t) { answer(*b, false); });
    auto start = Clock::now();
    a->SendData(message);
    loop.runUntil([&] { return answered == Replies; });
    return Replies / seconds(Clock::now() - start);
}

void idleCost(int idleSeconds) {
    auto& loop = platform::EventLoop::instance();
    auto timeout = CTimeout::create();
    int ticks = 0;
    timeout->TimeOut.subscribe([&] { ++ticks; });
    timeout->setTimeOutValue(1);
    timeout->StartTimer();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(idleSeconds))
        loop.yield();
    getrusage(RUSAGE_SELF, &after);
    auto usec = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    double user = (usec(after.ru_utime) - usec(before.ru_utime)) / 1e6;
    double system = (usec(after.ru_stime) - usec(before.ru_stime)) / 1e6;
    double wall = seconds(Clock::now() - start);
    std::printf(
        "idle: %.1f s waiting on a 1-second time-out, %d ticks: user %.4f s, system %.4f s, "
        "%.3f%% of a core\n",
        wall, ticks, user, system, 100.0 * (user + system) / wall);
}

struct SyscallCount {
    double total = -1; // every call of the copy
    double reads = 0;  // of them, the reads of the data
};

// Runs the object copy under `strace -c -f` and counts its calls; a
// negative total if strace is not there.
SyscallCount countSyscalls(const char* self, std::size_t mebibytes) {
    SyscallCount counted;
    if (std::system("command -v strace >/dev/null 2>&1") != 0)
        return counted;
    char path[] = "/tmp/socket-bench-strace-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0)
        return counted;
    ::close(fd);
    std::string command = std::string("strace -f -c -o ") + path + " " + self + " --copy objects " +
                          std::to_string(mebibytes) + " >/dev/null 2>&1";
    int rc = std::system(command.c_str());
    std::ifstream in(path);
    std::string line;
    double total = -1, reads = 0;
    while (std::getline(in, line)) {
        // "% time  seconds  usecs/call  calls  [errors]  name"; the total has no usecs.
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        if (words.size() < 4 || words[0].find('.') == std::string::npos)
            continue;
        const std::string& name = words.back();
        if (name == "total")
            total = std::atof(words[3].c_str());
        else if (name == "recvfrom" || name == "recv" || name == "read")
            reads += name == "read" ? 0 : std::atof(words[3].c_str());
    }
    ::unlink(path);
    if (rc == 0 && total >= 0) {
        counted.total = total;
        counted.reads = reads;
    }
    return counted;
}

// The rate of one copy, run as a process of its own; -1 if it failed.
double copyInProcess(const char* self, const char* kind, std::size_t mebibytes) {
    const std::string command =
        std::string(self) + " --copy " + kind + " " + std::to_string(mebibytes);
    FILE* out = ::popen(command.c_str(), "r");
    if (!out)
        return -1;
    double rate = -1;
    if (std::fscanf(out, "%lf", &rate) != 1)
        rate = -1;
    return ::pclose(out) == 0 ? rate : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], "--copy") == 0) {
        const std::string kind = argv[2];
        const std::size_t blocks = std::strtoul(argv[3], nullptr, 10);
        const double rate = kind == "pair"    ? plainCopy(blocks)
                            : kind == "epoll" ? epollCopy(blocks)
                                              : socketCopy(blocks);
        std::printf("%.1f\n", rate);
        return 0;
    }
    std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::size_t rounds =
        argc > 3 ? std::max<std::size_t>(1, std::strtoul(argv[3], nullptr, 10)) : 5;
    // Rounds of the three copies back to back; the median of each counts,
    // and the range shows how far single connections stray from it.
    std::vector<double> pairRates, epollRates, objectRates;
    for (std::size_t round = 0; round < rounds; ++round) {
        pairRates.push_back(copyInProcess(argv[0], "pair", mebibytes));
        epollRates.push_back(copyInProcess(argv[0], "epoll", mebibytes));
        objectRates.push_back(copyInProcess(argv[0], "objects", mebibytes));
    }
    for (const auto* rates : {&pairRates, &epollRates, &objectRates}) {
        if (std::find(rates->begin(), rates->end(), -1.0) != rates->end()) {
            std::fprintf(stderr, "socket_bench: a copy failed\n");
            return 1;
        }
    }
    auto median = [](std::vector<double> rates) {
        std::sort(rates.begin(), rates.end());
        return rates[rates.size() / 2];
    };
    auto range = [](const std::vector<double>& rates) {
        const auto [low, high] = std::minmax_element(rates.begin(), rates.end());
        return std::to_string(static_cast<long>(*low)) + "-" +
               std::to_string(static_cast<long>(*high));
    };
    const double plainRate = median(pairRates), floorRate = median(epollRates),
                 objectsRate = median(objectRates);
    std::printf("throughput: %zu MiB in 1 MiB blocks, median of %zu rounds (range), congestion "
                "control %s\n",
                mebibytes, rounds, congestionControl());
    std::printf("  plain blocking TCP socket pair, two threads: %8.0f MB/s (%s)\n", plainRate,
                range(pairRates).c_str());
    std::printf("  plain epoll, non-blocking, one thread:      %8.0f MB/s (%s)\n", floorRate,
                range(epollRates).c_str());
    std::printf("  two CSocket objects on one loop, one thread: %8.0f MB/s (%s)\n", objectsRate,
                range(objectRates).c_str());
    std::printf("  ratio objects / two-thread pair: %.2f\n", objectsRate / plainRate);
    std::printf("  ratio objects / one-thread epoll: %.2f (target at least 0.70)\n",
                objectsRate / floorRate);
    const double plainReplyRate = plainReplies();
    const double objectReplyRate = objectReplies();
    std::printf("replies: %d round trips of %zu bytes\n", Replies, ReplySize);
    std::printf("  plain blocking TCP socket pair, two threads: %8.0f per s (%.1f us each)\n",
                plainReplyRate, 1e6 / plainReplyRate);
    std::printf("  two CSocket objects on one loop, one thread: %8.0f per s (%.1f us each)\n",
                objectReplyRate, 1e6 / objectReplyRate);
    std::printf("  ratio: %.2f\n", objectReplyRate / plainReplyRate);
    const std::size_t traced = mebibytes < 64 ? mebibytes : 64;
    SyscallCount calls = countSyscalls(argv[0], traced);
    if (calls.total >= 0) {
        std::printf("  system calls (strace, %zu MiB): %.1f per MiB, %.2f per 128 KiB, "
                    "%.2f per read (%.0f reads of the data; target at most 3)\n",
                    traced, calls.total / traced, calls.total / (traced * 8.0),
                    calls.reads > 0 ? calls.total / calls.reads : 0.0, calls.reads);
    }
    idleCost(idleSeconds);
    return 0;
}
