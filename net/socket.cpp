// The socket object: its states, addresses, connection set-up and
// tear-down. What each notification does to it is in socket_events.cpp,
// the data path in socket_data.cpp.

#include "net/socket.h"

#include "net/secure_channel.h"
#include "net/socket_helpers.h"
#include "net/socket_support.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"

using namespace socket_detail;

std::shared_ptr<CSocket> CSocket::create() {
    return std::shared_ptr<CSocket>(new CSocket());
}

CSocket::CSocket() {
    m_maxDatagramSize = MSocketSupport::InitWinsockService();
}

CSocket::~CSocket() {
    try {
        if (m_SocketHandle != -1)
            DestroySocket();
    } catch (...) {
    }
    MSocketSupport::CleanupWinsockService();
}

// --- internal steps ------------------------------------------------------------

std::int32_t CSocket::vbSocket() {
    ws::SOCKET s = m_Protocol == ProtocolUdp
                       ? ws::socket(ws::AF_INET_, ws::SOCK_DGRAM_, ws::IPPROTO_UDP_)
                       : ws::socket(ws::AF_INET_, ws::SOCK_STREAM_, ws::IPPROTO_TCP_);
    if (s == ws::INVALID_SOCKET) {
        m_noSocketError = ws::WSAGetLastError();
        m_noSocketText = GetErrorDescription(m_noSocketError);
        return -1;
    }
    if (!MSocketSupport::RegisterSocket(s, weak_from_this())) {
        m_noSocketError = MSocketSupport::PendingError().number();
        m_noSocketText = MSocketSupport::PendingError().description();
        MSocketSupport::UnregisterSocket(s);
        ws::closesocket(s);
        return -1;
    }
    return s;
}

void CSocket::EnsureSocket() {
    if (m_SocketHandle != -1)
        return;
    m_SocketHandle = vbSocket();
    if (m_SocketHandle == -1)
        throw Error(m_noSocketError, "CSocket.EnsureSocket", m_noSocketText);
    ReadBufferSizes();
}

void CSocket::ReadBufferSizes() {
    if (m_Protocol != ProtocolTcp) {
        m_receiveChunkSize = m_maxDatagramSize;
        return;
    }
    int size = 0;
    if (ws::getsockopt(m_SocketHandle, ws::SOL_SOCKET_, ws::SO_RCVBUF_, &size) == 0)
        m_receiveChunkSize = size;
}

void CSocket::DestroySocket() {
    if (m_SocketHandle == -1)
        return;
    MSocketSupport::UnregisterSocket(m_SocketHandle);
    if (ws::closesocket(m_SocketHandle) != 0)
        throw lastLibraryError("CSocket.DestroySocket");
    m_SocketHandle = -1;
    m_bound = false;
    m_broadcast = false;
    m_readPaused = false;
    m_readAhead = false;
    m_emptyReadSize = 0;
    m_shutdownWhenSent = false;
    m_secure.reset();
    m_secureEnded = false;
    // A lookup still under way belonged to the socket that has gone; its
    // answer must not start a connection nobody asked for any more.
    forgetLookup();
    m_nextAddresses.clear();
}

void CSocket::forgetLookup() {
    if (m_lookupTask != 0)
        MSocketSupport::CancelLookup(m_lookupTask);
    m_lookupTask = 0;
}

std::int32_t CSocket::BytesReceived() const {
    return saturated(m_BytesReceived);
}

void CSocket::raiseError(std::int32_t number, const std::string& source) {
    raiseError(number, source, GetErrorDescription(number));
}

void CSocket::raiseError(std::int32_t number, const std::string& source, std::string description) {
    bool cancelDisplay = false;
    OnError.raise(static_cast<std::int16_t>(number), description, 0, source, std::string(), 0,
                  cancelDisplay);
}

void CSocket::useFamily(const ws::InetAddress& address) {
    int family = ws::socketFamily(m_SocketHandle);
    if (family == ws::SOCKET_ERROR || family == address.family || m_bound)
        return;
    // Only a socket that has not been used yet takes the other family; on
    // any other the library's own call reports the mismatch.
    ws::InetAddress local;
    std::uint16_t port = 0;
    if (ws::getsockname(m_SocketHandle, &local, &port) != 0 || port != 0)
        return;
    if (ws::renewSocket(m_SocketHandle, address.family) == 0)
        m_broadcast = false;
}

namespace {

// Failures after which another address of the same name may still work.
bool worthAnotherAddress(std::int32_t error) {
    switch (error) {
    case ws::WSAECONNREFUSED:
    case ws::WSAENETUNREACH:
    case ws::WSAEHOSTUNREACH:
    case ws::WSAETIMEDOUT:
    case ws::WSAEADDRNOTAVAIL:
    case ws::WSAEAFNOSUPPORT:
        return true;
    default:
        return false;
    }
}

} // namespace

bool CSocket::tryNextAddress(std::int32_t& error) {
    while (!m_nextAddresses.empty() && worthAnotherAddress(error) && !m_bound) {
        ws::InetAddress address = m_nextAddresses.front();
        m_nextAddresses.erase(m_nextAddresses.begin());
        if (ws::renewSocket(m_SocketHandle, address.family) != 0) {
            error = ws::WSAGetLastError();
            break;
        }
        m_broadcast = false;
        m_RemoteHostIP = ws::addressToText(address);
        if (ws::connect(m_SocketHandle, address, networkPort(m_RemotePort)) == 0 ||
            ws::WSAGetLastError() == ws::WSAEWOULDBLOCK) {
            m_State = StateConnecting;
            return true;
        }
        error = ws::WSAGetLastError();
    }
    m_nextAddresses.clear();
    return false;
}

void CSocket::connectTo(const ws::InetAddress& address, const char* source) {
    useFamily(address);
    if (ws::connect(m_SocketHandle, address, networkPort(m_RemotePort)) != 0) {
        int code = ws::WSAGetLastError();
        if (code != ws::WSAEWOULDBLOCK)
            throw libraryError(code, source);
        m_State = StateConnecting;
    }
}

// --- methods -----------------------------------------------------------------

void CSocket::Connect(std::optional<std::string> strRemoteHost,
                      std::optional<std::int64_t> lngRemotePort) {
    const char* source = "CSocket.CSocket.Connect";
    try {
        forgetLookup();
        EnsureSocket();
        if (strRemoteHost && !strRemoteHost->empty())
            m_RemoteHost = *strRemoteHost;
        if (lngRemotePort) {
            if (*lngRemotePort < std::numeric_limits<std::int32_t>::min() ||
                *lngRemotePort > std::numeric_limits<std::int32_t>::max())
                throw platform::overflowError(source);
            m_RemotePort = static_cast<std::int32_t>(*lngRemotePort);
        }
        if (m_RemoteHost.empty())
            throw libraryError(ws::WSAEADDRNOTAVAIL, source);
        networkPort(m_RemotePort); // a port out of range fails here, before any lookup
        m_lookupPurpose = 0;
        m_nextAddresses.clear();
        ws::InetAddress address;
        if (!isLiteral(m_RemoteHost, address)) {
            m_State = StateResolvingHost;
            m_lookupTask = MSocketSupport::ResolveHost(m_RemoteHost, weak_from_this());
            if (m_lookupTask == 0) {
                Error pending = MSocketSupport::PendingError();
                DestroySocket();
                throw pending;
            }
            return;
        }
        connectTo(address, source);
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

void CSocket::Bind(std::optional<std::int32_t> lngLocalPort,
                   std::optional<std::string> strLocalIP) {
    const char* source = "CSocket.Bind";
    try {
        EnsureSocket();
        if (strLocalIP && !strLocalIP->empty())
            m_LocalIP = *strLocalIP;
        if (lngLocalPort && *lngLocalPort > 0)
            m_LocalPort = *lngLocalPort;
        ws::InetAddress address; // IPv4, any
        if (!m_LocalIP.empty() && !isLiteral(m_LocalIP, address))
            throw libraryError(ws::WSAEINVAL, source);
        useFamily(address);
        if (ws::bind(m_SocketHandle, address, networkPort(m_LocalPort)) != 0)
            throw lastLibraryError(source);
        m_bound = true;
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

void CSocket::Listen() {
    const char* source = "CSocket.Listen";
    try {
        EnsureSocket();
        if (!m_bound)
            Bind(0, std::string());
        if (ws::listen(m_SocketHandle, 5) != 0) {
            m_State = StateError;
            throw lastLibraryError(source);
        }
        m_State = StateListening;
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

void CSocket::Accept(std::int32_t requestID) {
    const char* source = "CSocket.Accept";
    try {
        // Only a request that OnConnectionRequest is handing over right now.
        if (!MSocketSupport::TakeRequest(requestID))
            throw libraryError(ws::WSAENOTSOCK, source);
        m_SocketHandle = requestID;
        ws::InetAddress address;
        std::uint16_t port = 0;
        if (ws::getsockname(m_SocketHandle, &address, &port) == 0) {
            m_LocalPort = hostPort(port);
            m_LocalIP = ws::addressToText(address);
            m_LocalHostName = m_LocalIP;
        }
        if (ws::getpeername(m_SocketHandle, &address, &port) == 0) {
            m_RemotePort = hostPort(port);
            m_RemoteHostIP = ws::addressToText(address);
            m_RemoteHost = m_RemoteHostIP;
        }
        int type = 0;
        if (ws::getsockopt(m_SocketHandle, ws::SOL_SOCKET_, ws::SO_TYPE_, &type) == 0)
            m_Protocol = type == ws::SOCK_STREAM_ ? ProtocolTcp : ProtocolUdp;
        ReadBufferSizes();
        if (!MSocketSupport::RegisterSocket(m_SocketHandle, weak_from_this())) {
            Error pending = MSocketSupport::PendingError();
            MSocketSupport::UnregisterSocket(m_SocketHandle);
            ws::closesocket(m_SocketHandle);
            m_SocketHandle = -1;
            throw pending;
        }
        m_State = StateConnected;
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

void CSocket::CloseSocket() {
    try {
        forgetLookup();
        if (m_SocketHandle == -1)
            return;
        if (m_State == StateConnected) {
            m_State = StateClosing;
            // What SendData accepted goes out first; the shutdown follows
            // the last byte (SendBufferedData).
            if (pendingSendBytes() != 0)
                m_shutdownWhenSent = true;
            else
                shutdownSend();
            return;
        }
        DestroySocket();
        m_State = StateClosed;
    } catch (...) {
        // Closing reports nothing.
    }
}

void CSocket::Abort() {
    try {
        forgetLookup();
        if (m_SocketHandle == -1)
            return;
        ws::shutdown(m_SocketHandle, ws::SD_BOTH);
        DestroySocket();
        m_State = StateClosed;
    } catch (...) {
        // Like closing, aborting reports nothing.
    }
}

void CSocket::CloseNow() {
    CloseSocket();
    if (m_State != StateClosed)
        CloseSocket();
}

namespace {

SocketAddress peerOf(std::int32_t handle) {
    ws::InetAddress address;
    std::uint16_t port = 0;
    if (handle < 0 || ws::getpeername(handle, &address, &port) != 0)
        return {};
    return {address.family == ws::AF_INET6_ ? SocketAddress::IPv6 : SocketAddress::IPv4,
            ws::addressToText(address), hostPort(port)};
}

} // namespace

SocketAddress CSocket::PeerAddress() const {
    return peerOf(m_SocketHandle);
}

SocketAddress CSocket::RequestPeerAddress(std::int32_t requestID) {
    return MSocketSupport::IsOffered(requestID) ? peerOf(requestID) : SocketAddress{};
}

void CSocket::postToSelf(std::int32_t event, bool followUp) const {
    auto& loop = platform::EventLoop::instance();
    const auto window = MSocketSupport::SocketWindow();
    const auto message = MSocketSupport::SocketMessage();
    const auto reply = ws::makeSelectReply(event, 0);
    if (followUp)
        loop.postFollowUp(window, message, m_SocketHandle, reply);
    else
        loop.postMessage(window, message, m_SocketHandle, reply);
}

void CSocket::StartSecure(std::shared_ptr<SecureChannel> channel) {
    const char* source = "CSocket.StartSecure";
    try {
        if (!channel || m_Protocol != ProtocolTcp || m_State != StateConnected ||
            m_SocketHandle == -1 || m_secure)
            throw Error(WrongProtocolOrState, source, WrongProtocolOrStateText);
        m_secure = std::move(channel);
        m_secureEnded = false;
        try {
            m_secure->handshake();
        } catch (...) {
            m_secure.reset();
            throw;
        }
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

// A security layer still in its handshake closes once the handshake is
// done (after a later read): a peer given the end of the stream before it
// would see a broken handshake, not an empty one.
void CSocket::shutdownSend() {
    if (m_secure && !m_secure->close()) {
        m_shutdownWhenSent = true;
        return;
    }
    ws::shutdown(m_SocketHandle, ws::SD_SEND);
}

void CSocket::failSecure(std::int32_t number, const std::string& source,
                         const std::string& description) {
    m_State = StateError;
    DestroySocket();
    raiseError(number, source, description);
}

void CSocket::setRemoteHost(const std::string& strNewValue) {
    const char* source = "CSocket.RemoteHost";
    try {
        m_RemoteHost = strNewValue;
        ws::InetAddress address;
        if (strNewValue.empty() || !isLiteral(strNewValue, address))
            return;
        m_RemoteHostIP = address.family == ws::AF_INET_ ? strNewValue : ws::addressToText(address);
        if (m_Protocol != ProtocolUdp || address.family != ws::AF_INET_)
            return;
        EnsureSocket();
        bool broadcastAddress =
            strNewValue.size() >= 4 && strNewValue.compare(strNewValue.size() - 4, 4, ".255") == 0;
        if (broadcastAddress != m_broadcast) {
            if (ws::setsockopt(m_SocketHandle, ws::SOL_SOCKET_, ws::SO_BROADCAST_,
                               broadcastAddress ? 1 : 0) != 0)
                throw lastLibraryError(source);
            m_broadcast = broadcastAddress;
        }
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

void CSocket::setProtocol(std::int32_t value) {
    if (m_SocketHandle == -1)
        m_Protocol = value;
}
