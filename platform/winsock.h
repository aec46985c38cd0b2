#pragma once

// The socket library as the socket layer expects it: IPv4 and IPv6 sockets whose
// failures carry the library's error numbers, notifications posted to a
// message window (read, write, accept, connect, close, each with the
// library's re-arming rules), background host lookups posted the same way,
// and start-up/clean-up. Built on POSIX sockets and the event loop.

#include "platform/event_loop.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::winsock {

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

inline constexpr int AF_INET_ = 2;
inline constexpr int AF_INET6_ = 23;
inline constexpr int SOCK_STREAM_ = 1;
inline constexpr int SOCK_DGRAM_ = 2;
inline constexpr int IPPROTO_TCP_ = 6;
inline constexpr int IPPROTO_UDP_ = 17;
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// Option levels and names as the library numbers them.
inline constexpr int SOL_SOCKET_ = 0xFFFF;
inline constexpr int SO_BROADCAST_ = 0x0020;
inline constexpr int SO_RCVBUF_ = 0x1002;
inline constexpr long FIONREAD_ = 0x4004667F;
inline constexpr int SO_TYPE_ = 0x1008;

// Notification bits.
inline constexpr long FD_READ = 1;
inline constexpr long FD_WRITE = 2;
inline constexpr long FD_OOB = 4;
inline constexpr long FD_ACCEPT = 8;
inline constexpr long FD_CONNECT = 16;
inline constexpr long FD_CLOSE = 32;

// Error numbers.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAEDISCON = 10101;
inline constexpr int WSASYSCALLFAILURE = 10107;
inline constexpr int WSATYPE_NOT_FOUND = 10109;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// errno (and getaddrinfo results) to the library's numbers; 0 stays 0.
int errorFromErrno(int error);
int errorFromLookup(int eaiError);

// The last error of a call on this thread, as the library reports it.
int WSAGetLastError();
void WSASetLastError(int error);

// --- start-up and clean-up ---------------------------------------------------

struct WSAData {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
    std::uint16_t iMaxSockets = 0;
    std::uint16_t iMaxUdpDg = 0;
    std::string szDescription;
};

// Grants version 1.1 (0x0101) and reports the largest IPv4 datagram
// (65507) and a socket count. Counted: every successful start-up is
// matched by one clean-up, and clean-up never breaks sockets that are in
// use, so independent users cannot disturb each other.
int WSAStartup(std::uint16_t versionRequested, WSAData& data);
int WSACleanup();
int startupCount();
// Test seams: the next start-ups fail with this result (0 = normal), or
// clean-ups fail with this error (0 = normal).
void setStartupFailure(int result);
void setCleanupFailure(int error);
// Test seam: successful start-ups report this granted version and socket
// count instead of the real ones (nullopt = normal).
void setStartupGrant(std::optional<WSAData> grant);

// --- addresses -----------------------------------------------------------------

// An address of either family: IPv4 in the first four bytes (network byte
// order), IPv6 in all sixteen with its scope (interface index, 0 = none).
struct InetAddress {
    int family = AF_INET_;
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scope = 0;

    static InetAddress fromIPv4(std::uint32_t address);
    // The IPv4 address in network byte order; 0 for an IPv6 address.
    std::uint32_t ipv4() const;
    bool operator==(const InetAddress&) const = default;
};

// A literal address of either family: strict dotted IPv4, or IPv6 text
// (with an optional "%scope"), bare or in square brackets.
bool parseAddress(const std::string& text, InetAddress& address);
// Dotted IPv4, or the shortest IPv6 text ("::1"), without brackets.
std::string addressToText(const InetAddress& address);

// --- sockets -----------------------------------------------------------------
// Addresses are IPv4 in network byte order or `InetAddress`; ports in
// network byte order. The IPv4 forms of the calls that report an address
// give 0 for an IPv6 one. Every call returns SOCKET_ERROR / INVALID_SOCKET
// on failure and leaves the library's number in WSAGetLastError(). No call
// ever raises SIGPIPE.

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int bind(SOCKET s, std::uint32_t address, std::uint16_t port);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, std::uint32_t* address, std::uint16_t* port);
// Always completes later: returns SOCKET_ERROR with WSAEWOULDBLOCK and
// posts FD_CONNECT (with its error) when the attempt has finished.
int connect(SOCKET s, std::uint32_t address, std::uint16_t port);
int send(SOCKET s, const void* data, int length);
int sendto(SOCKET s, const void* data, int length, std::uint32_t address, std::uint16_t port);
// 0 means the peer has closed its sending direction.
int recv(SOCKET s, void* data, int length);
int recvfrom(SOCKET s, void* data, int length, std::uint32_t* address, std::uint16_t* port);
int shutdown(SOCKET s, int how);
// FIONREAD_ only: the bytes a stream socket holds for the next recv.
int ioctlsocket(SOCKET s, long command, std::uint32_t* argument);
// The send and receive calls this thread has made, for tests and
// benchmarks (sendto and recvfrom included).
struct DataCalls {
    std::uint64_t sends = 0;
    std::uint64_t receives = 0;
};
const DataCalls& dataCallCounts();
int getsockname(SOCKET s, std::uint32_t* address, std::uint16_t* port);
int getpeername(SOCKET s, std::uint32_t* address, std::uint16_t* port);
int getsockopt(SOCKET s, int level, int option, int* value);
// The same calls for addresses of either family. A socket binds, connects
// or sends only to an address of its own family; binding an IPv6 socket
// to "::" accepts IPv4 connections too where the system allows it.
int bind(SOCKET s, const InetAddress& address, std::uint16_t port);
SOCKET accept(SOCKET s, InetAddress* address, std::uint16_t* port);
int connect(SOCKET s, const InetAddress& address, std::uint16_t port);
int sendto(SOCKET s, const void* data, int length, const InetAddress& address, std::uint16_t port);
int recvfrom(SOCKET s, void* data, int length, InetAddress* address, std::uint16_t* port);
int getsockname(SOCKET s, InetAddress* address, std::uint16_t* port);
int getpeername(SOCKET s, InetAddress* address, std::uint16_t* port);
// AF_INET_ or AF_INET6_, or SOCKET_ERROR.
int socketFamily(SOCKET s);
// Puts a new unbound socket of family `af` and the same type under the
// handle `s`: the handle and its notification request stay, everything
// the old socket was (bound, connecting, failed) and every notification
// still queued for it goes. For an address of another family, or a new
// attempt after a failed connect.
int renewSocket(SOCKET s, int af);
int setsockopt(SOCKET s, int level, int option, int value);

std::uint16_t toNetworkOrder(std::uint16_t value);
std::uint16_t fromNetworkOrder(std::uint16_t value);
// A strict dotted IPv4 address ("a.b.c.d", each 0..255).
bool parseDottedAddress(const std::string& text, std::uint32_t& address);
std::string addressToText(std::uint32_t address);

// Asks for notifications of the events in `mask` as `message` to `window`
// (wParam = socket, lParam = event | error << 16); mask 0 stops them.
// Rules: FD_CONNECT once when a connect attempt ends; FD_WRITE once after
// a successful connect or accept and again only after a send had to wait
// or was cut short; FD_READ while data waits, re-armed by each recv;
// FD_ACCEPT while a connection request waits, re-armed by each accept;
// FD_CLOSE once when the peer ends the connection (error 0 for an orderly
// end, WSAECONNRESET for a reset). Closing a socket drops notifications
// for it that are still queued, so a reused descriptor number never gets
// another socket's news.
int WSAAsyncSelect(SOCKET s, WindowHandle window, MessageId message, long mask);

inline std::intptr_t makeSelectReply(long event, int error) {
    return static_cast<std::intptr_t>((event & 0xFFFF) | (static_cast<long>(error & 0xFFFF) << 16));
}

// --- host names ----------------------------------------------------------------

// The result of a forward lookup: official name and addresses.
struct HostEntry {
    std::string name;
    std::vector<std::string> aliases;
    std::int16_t addressType = AF_INET_;
    std::int16_t addressLength = 4;
    std::vector<std::uint32_t> addresses; // the IPv4 ones, network byte order
    // Every address of either family in the resolver's order; a resolver
    // that fills only `addresses` leaves it empty.
    std::vector<InetAddress> allAddresses;
};
// The addresses to try, in order: `allAddresses`, else `addresses`.
std::vector<InetAddress> addressesToTry(const HostEntry& entry);

// Where names are looked up. Replaceable, so tests never depend on DNS.
class Resolver {
public:
    virtual ~Resolver() = default;
    // Fills `entry`; returns 0 or a lookup error (11001..11004, or a socket error).
    // Runs on a background thread.
    virtual int lookup(const std::string& name, HostEntry& entry) = 0;
    // The name of an address, or an empty string if it has none.
    virtual std::string reverse(std::uint32_t address) = 0;
};
std::shared_ptr<Resolver> systemResolver();
// nullptr restores the system resolver.
void setResolver(std::shared_ptr<Resolver> resolver);
std::shared_ptr<Resolver> currentResolver();

// Lookups run on a pool of at most this many background threads; the
// rest wait in a queue.
inline constexpr int LookupThreads = 4;
// Threads the pool has at this moment.
int lookupThreadCount();

// Starts a background lookup; its completion is posted as `message` to
// `window` with wParam = task handle and lParam = error << 16, after
// `buffer` has been filled. Returns the task handle, or 0 if the lookup
// cannot be started (WSAGetLastError tells why).
std::int32_t WSAAsyncGetHostByName(WindowHandle window, MessageId message, const std::string& name,
                                   std::shared_ptr<HostEntry> buffer);
// Drops a lookup that has not started yet: 0, and no completion is ever
// posted for it. SOCKET_ERROR (WSAEINVAL) if it has started or ended; its
// completion may still come.
int WSACancelAsyncRequest(std::int32_t task);

// The name of an address without waiting for one: true with the name if
// a lookup has answered (forward lookups included; an empty name means the
// address has none). Otherwise false, and a reverse lookup through the
// current resolver starts on the pool, so that a later call can answer.
bool knownHostName(std::uint32_t address, std::string& name);

} // namespace platform::winsock
