#pragma once

// The socket service under every socket object: starts the socket library,
// owns the hidden "SOCKET_WINDOW" that receives socket notifications and
// host-lookup completions, keeps the registries that map a socket handle or
// a lookup task back to its socket object (weak references: an entry never
// keeps its object alive), and runs host lookups in the background.

#include "platform/error.h"
#include "platform/event_loop.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CSocket;

namespace MSocketSupport {

// Starts the socket library once and returns its largest datagram size.
// Raises the start-up failure ("MSocketSupport.InitWinsockService").
std::int32_t InitWinsockService();
// Shuts the library down if no socket is registered at this moment.
void CleanupWinsockService();

// These two do not raise: on failure they leave the error in
// `PendingError()` and return false / 0.
bool RegisterSocket(std::int32_t socketHandle, const std::weak_ptr<CSocket>& object);
bool UnregisterSocket(std::int32_t socketHandle);
std::int32_t ResolveHost(const std::string& hostName, const std::weak_ptr<CSocket>& object);
// Forgets a lookup: its answer is never delivered, and if it has not
// started yet it never runs.
void CancelLookup(std::int32_t task);
const platform::Error& PendingError();

void SocketWindowProc(platform::WindowHandle window, platform::MessageId message,
                      std::intptr_t first, std::intptr_t second);
platform::WindowHandle CreateSocketWindow();
bool DestroySocketWindow();

// Connection requests handed to OnConnectionRequest: offered while the
// event is raised, taken by CSocket::Accept. Withdraw is true if nobody
// took it (the caller then closes it).
void OfferRequest(std::int32_t socketHandle);
bool TakeRequest(std::int32_t socketHandle);
bool WithdrawRequest(std::int32_t socketHandle);
bool IsOffered(std::int32_t socketHandle);

// Port numbers as the library's signed 16-bit values: 0..65535 in,
// anything else raises the overflow error (6).
std::int16_t UnsignedToInteger(std::int64_t value);
std::int32_t IntegerToUnsigned(std::int16_t value);

// What the service holds now (for the socket object and for tests).
bool IsStarted();
std::int32_t MaximalDatagramSize();
platform::WindowHandle SocketWindow();
platform::MessageId SocketMessage();
platform::MessageId LookupMessage();
std::size_t RegisteredSockets();
std::size_t PendingLookups();

} // namespace MSocketSupport
