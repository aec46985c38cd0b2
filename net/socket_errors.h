#pragma once

// The socket layer's errors: the English sentence of each socket-library
// code, and the numbers and texts of the socket service's and the socket
// object's own errors. The library's codes themselves are named in
// platform/winsock.h; they are reported as they are, never offset.

#include <cstdint>
#include <string>

// The English sentence for a socket-library error code; "Unknown error."
// for codes it does not know. Never fails.
std::string GetErrorDescription(std::int32_t code);

namespace net::errors {

// The socket object's own number: an operation that the socket's protocol
// or state does not allow (sending on a socket that is not connected).
inline constexpr std::int32_t WrongProtocolOrState = 40006;
inline constexpr const char* WrongProtocolOrStateText =
    "Wrong protocol or connection state for the requested transaction or request.";

// The socket service has no hidden window for its notifications; the
// number is the library's WSAEINTR.
inline constexpr const char* SocketWindowFailedText = "The operation was canceled.";

// A connection the library could not take (an accept refused for want of
// descriptors): the library's WSAECONNABORTED, for users of the socket
// object that do not speak to the library.
inline constexpr std::int32_t ConnectionAborted = 10053;

// What the start of the socket library says about its result (0 when it
// started): a sentence for the results it knows, else "".
std::string StartupErrorDescription(std::int32_t result);

} // namespace net::errors
