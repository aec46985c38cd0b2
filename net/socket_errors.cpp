#include "net/socket_errors.h"

#include "platform/winsock.h"

#include <unordered_map>

namespace ws = platform::winsock;

std::string GetErrorDescription(std::int32_t code) {
    static const std::unordered_map<std::int32_t, const char*> texts = {
        {ws::WSAEINTR, "Interrupted function call."},
        {ws::WSAEACCES, "Permission denied."},
        {ws::WSAEFAULT, "Bad address."},
        {ws::WSAEINVAL, "Invalid argument."},
        {ws::WSAEMFILE, "Too many open files."},
        {ws::WSAEWOULDBLOCK, "Resource temporarily unavailable."},
        {ws::WSAEINPROGRESS, "Operation now in progress."},
        {ws::WSAEALREADY, "Operation already in progress."},
        {ws::WSAENOTSOCK, "Socket operation on nonsocket."},
        {ws::WSAEDESTADDRREQ, "Destination address required."},
        {ws::WSAEMSGSIZE, "Message too long."},
        {ws::WSAEPROTOTYPE, "Protocol wrong type for socket."},
        {ws::WSAENOPROTOOPT, "Bad protocol option."},
        {ws::WSAEPROTONOSUPPORT, "Protocol not supported."},
        {ws::WSAESOCKTNOSUPPORT, "Socket type not supported."},
        {ws::WSAEOPNOTSUPP, "Operation not supported."},
        {ws::WSAEPFNOSUPPORT, "Protocol family not supported."},
        {ws::WSAEAFNOSUPPORT, "Address family not supported by protocol family."},
        {ws::WSAEADDRINUSE, "Address already in use."},
        {ws::WSAEADDRNOTAVAIL, "Cannot assign requested address."},
        {ws::WSAENETDOWN, "Network is down."},
        {ws::WSAENETUNREACH, "Network is unreachable."},
        {ws::WSAENETRESET, "Network dropped connection on reset."},
        {ws::WSAECONNABORTED, "Software caused connection abort."},
        {ws::WSAECONNRESET, "Connection reset by peer."},
        {ws::WSAENOBUFS, "No buffer space available."},
        {ws::WSAEISCONN, "Socket is already connected."},
        {ws::WSAENOTCONN, "Socket is not connected."},
        {ws::WSAESHUTDOWN, "Cannot send after socket shutdown."},
        {ws::WSAETIMEDOUT, "Connection timed out."},
        {ws::WSAECONNREFUSED, "Connection refused."},
        {ws::WSAEHOSTDOWN, "Host is down."},
        {ws::WSAEHOSTUNREACH, "No route to host."},
        {ws::WSAEPROCLIM, "Too many processes."},
        {ws::WSASYSNOTREADY, "Network subsystem is unavailable."},
        {ws::WSAVERNOTSUPPORTED, "Winsock.dll version out of range."},
        {ws::WSANOTINITIALISED, "Successful WSAStartup not yet performed."},
        {ws::WSAEDISCON, "Graceful shutdown in progress."},
        {ws::WSASYSCALLFAILURE, "System call failure."},
        {ws::WSATYPE_NOT_FOUND, "Class type not found."},
        {ws::WSAHOST_NOT_FOUND, "Host not found."},
        {ws::WSATRY_AGAIN, "Nonauthoritative host not found."},
        {ws::WSANO_RECOVERY, "This is a nonrecoverable error."},
        {ws::WSANO_DATA, "Valid name, no data record of requested type."},
    };
    auto it = texts.find(code);
    return it == texts.end() ? "Unknown error." : it->second;
}

static_assert(net::errors::ConnectionAborted == platform::winsock::WSAECONNABORTED);

namespace net::errors {

std::string StartupErrorDescription(std::int32_t result) {
    switch (result) {
    case ws::WSAEINVAL:
        return "The Windows Sockets version specified by the application is not supported by "
               "this DLL.";
    case ws::WSASYSNOTREADY:
        return "The underlying network subsystem is not ready for network communication.";
    case ws::WSAVERNOTSUPPORTED:
        return "The version of Windows Sockets API support requested is not provided by this "
               "particular Windows Sockets implementation.";
    default:
        return std::string();
    }
}

} // namespace net::errors
