#pragma once

// Shared between the files of the socket-library shim; not for its users.
// Each socket the shim made has a notification record (notifications.cpp);
// the socket calls (sockets.cpp) move it between kinds and re-arm it.

#include "platform/winsock.h"

#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform::winsock::detail {

// Leaves `error` as the thread's last error and returns SOCKET_ERROR.
int fail(int error);
// The same for the current errno.
int failErrno();
void setLastError(int error);

// Sending on a connection the peer has reset must fail with an error, not
// end the process.
void ignoreSigpipe();

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port);
// Either family; the length of what was filled in, 0 for an unknown family.
socklen_t makeAddress(const InetAddress& address, std::uint16_t port, sockaddr_storage& sa);
void splitAddress(const sockaddr_storage& sa, InetAddress* address, std::uint16_t* port);

enum class Kind { Fresh, Connecting, Connected, Listening, Datagram };

struct Record {
    Kind kind = Kind::Fresh;
    WindowHandle window = 0;
    MessageId message = 0;
    long mask = 0;
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    bool closeSent = false;
    bool acceptBackingOff = false; // out of descriptors: not watched for a while
    bool ipv6 = false;             // an IPv6 socket (IPv4 peers as mapped addresses)
    std::uint64_t life = 0;        // changes with every socket the handle stands for
};

// How long a listening socket is left alone after `accept` found the
// process (or the system) out of descriptors.
inline constexpr std::uint32_t AcceptBackOffMilliseconds = 200;
// Stops watching a listening socket for the back-off, then watches it again.
void backOffAccept(SOCKET s, Record& r);

Record* find(SOCKET s);
Record& addRecord(SOCKET s, Kind kind);
// Forgets the record and everything still queued or watched for the socket.
void dropRecord(SOCKET s);
// Starts the record again as `kind` for a new socket under the same
// handle, keeping its notification request; drops what was queued.
void restartRecord(SOCKET s, Kind kind);
// Posts `event` for the socket if it was asked for: for news that a call
// brings about, which must not reach the caller's handlers inside the call.
void post(SOCKET s, const Record& r, long event, int error);
// Tells the loop which readiness can still lead to a notification.
void update(SOCKET s, Record& r);

// The lookup pool (lookup_pool.cpp). `submitLookup` is false if no thread
// can run the lookup; `cancelLookup` is true if it had not started, and
// then never runs.
bool submitLookup(std::int32_t task, std::function<void()> run);
bool cancelLookup(std::int32_t task);
std::size_t queuedLookups();

} // namespace platform::winsock::detail
