// What each notification does to a socket object: reads, writes,
// accepts, connections made, the peer's close and the answers of host
// lookups. The rest of the object is in socket.cpp, its data path in
// socket_data.cpp.

#include "net/socket.h"

#include "net/secure_channel.h"
#include "net/socket_helpers.h"
#include "net/socket_support.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"

using namespace socket_detail;

// --- notifications -----------------------------------------------------------

void CSocket::HandleNotification(std::int32_t event, std::int32_t error) {
    if (error != 0 && event == ws::FD_CONNECT && tryNextAddress(error))
        return; // the name's next address is being tried
    if (error != 0) {
        m_State = StateError;
        DestroySocket();
        raiseError(error, std::string());
        return;
    }
    if (!m_secure) {
        dispatchEvent(event);
        return;
    }
    try {
        dispatchEvent(event);
    } catch (const Error& e) {
        // A failure of the security layer ends the connection: nothing
        // of it can be trusted any more.
        if (m_secure)
            failSecure(e.number(), e.source(), e.description());
    }
}

void CSocket::dispatchEvent(std::int32_t event) {
    switch (event) {
    case ws::FD_READ: {
        const bool readAhead = std::exchange(m_readAhead, false);
        if (m_receiveBuffer.size() >= ReceiveBufferLimit) {
            // Left unread, so the library asks no more until GetData resumes.
            m_readPaused = true;
            break;
        }
        const std::int32_t handle = m_SocketHandle;
        std::int32_t n = RecvToBuffer(readAhead);
        m_BytesReceived += n;
        if (n > 0)
            OnDataArrival.raise(saturated(static_cast<std::int64_t>(m_receiveBuffer.size())));
        // A send the security layer held back until the peer spoke goes on.
        if (m_secure && m_SocketHandle == handle && pendingSendBytes() != 0 &&
            m_secure->writeWantsRead())
            SendBufferedData();
        // A close that waited for the handshake.
        if (m_secure && m_SocketHandle == handle && m_shutdownWhenSent && pendingSendBytes() == 0) {
            m_shutdownWhenSent = false;
            shutdownSend();
        }
        // The peer ended the secure stream (and our answer has gone out):
        // nothing more can come, whatever TCP does.
        if (m_secure && m_SocketHandle == handle && m_secureEnded)
            onPeerClosed();
        break;
    }
    case ws::FD_WRITE:
        if (m_secure && m_secure->readWantsWrite()) // a read waited to write
            postToSelf(ws::FD_READ);
        if (pendingSendBytes() == 0) {
            if (m_completionPending) {
                m_completionPending = false;
                OnSendComplete.raise();
            }
        } else if (m_shutdownWhenSent) {
            try {
                SendBufferedData();
            } catch (const Error& e) {
                failClose(e.number());
            }
        } else {
            SendBufferedData();
        }
        break;
    case ws::FD_ACCEPT:
        onAccept();
        break;
    case ws::FD_CONNECT:
        onConnected();
        break;
    case ws::FD_CLOSE:
        onPeerClosed();
        break;
    default:
        break;
    }
}

// A closing connection that cannot send the rest of what it was given.
void CSocket::failClose(std::int32_t number) {
    m_State = StateError;
    DestroySocket();
    raiseError(number, "CSocket.CloseSocket");
}

void CSocket::onAccept() {
    ws::SOCKET accepted =
        ws::accept(m_SocketHandle, static_cast<ws::InetAddress*>(nullptr), nullptr);
    if (accepted == ws::INVALID_SOCKET) {
        // Out of descriptors the library waits a while before it tries
        // again; one report covers the whole run of refusals.
        int code = ws::WSAGetLastError();
        bool exhausted = code == ws::WSAEMFILE || code == ws::WSAENOBUFS;
        if (exhausted && m_acceptRefused)
            return;
        m_acceptRefused = exhausted;
        OnConnectionRequest.raise(-1);
        return;
    }
    m_acceptRefused = false;
    // A request that no handler accepts is closed, not kept.
    MSocketSupport::OfferRequest(accepted);
    try {
        OnConnectionRequest.raise(accepted);
    } catch (...) {
        if (MSocketSupport::WithdrawRequest(accepted))
            ws::closesocket(accepted);
        throw;
    }
    if (MSocketSupport::WithdrawRequest(accepted))
        ws::closesocket(accepted);
}

void CSocket::onConnected() {
    m_nextAddresses.clear();
    ws::InetAddress address;
    std::uint16_t port = 0;
    if (ws::getsockname(m_SocketHandle, &address, &port) == 0) {
        m_LocalPort = hostPort(port);
        m_LocalIP = ws::addressToText(address);
        m_LocalHostName = nameOrAddress(address, m_LocalIP);
    }
    m_State = StateConnected;
    OnConnect.raise();
}

void CSocket::onPeerClosed() {
    const std::int32_t handle = m_SocketHandle;
    // Deliver whatever is still waiting. A failing read ends the data, not
    // the close: the peer has gone either way. Through a security layer a
    // failing read is a stream that cannot be trusted to be whole: it
    // fails the socket instead (HandleNotification).
    for (;;) {
        std::int32_t n = 0;
        try {
            n = RecvToBuffer();
        } catch (const Error&) {
            if (m_secure)
                throw;
            n = 0;
        }
        if (n <= 0)
            break;
        OnDataArrival.raise(static_cast<std::int32_t>(m_receiveBuffer.size()));
        if (m_SocketHandle != handle)
            return; // a handler closed this socket (and perhaps opened another)
    }
    if (m_State != StateClosing || m_shutdownWhenSent) {
        const bool flushing = m_shutdownWhenSent;
        m_State = StateClosing;
        std::int32_t failure = ws::WSAECONNABORTED;
        if (pendingSendBytes() != 0) {
            try {
                SendBufferedData();
            } catch (const Error& e) {
                failure = e.number();
            }
        }
        if (m_SocketHandle != handle)
            return;
        if (flushing && pendingSendBytes() != 0) {
            failClose(failure); // the peer has gone before all was sent
            return;
        }
    }
    if (m_SocketHandle != handle)
        return;
    DestroySocket();
    m_State = StateClosed;
    OnClose.raise();
}

void CSocket::HandleLookupResult(std::int32_t taskHandle,
                                 const std::vector<ws::InetAddress>& addresses,
                                 const std::string& hostName, std::int32_t error) {
    const char* source = "CSocket.PostGetHostEvent";
    try {
        // Only the answer to the lookup under way counts; an older one (the
        // socket was closed or connected elsewhere since) is dropped.
        if (taskHandle == 0 || taskHandle != m_lookupTask)
            return;
        m_lookupTask = 0;
        if (error > 0 && !isLiteral(hostName)) {
            m_State = StateError;
            raiseError(error, std::string());
            return;
        }
        m_State = StateHostResolved;
        m_RemoteHost = hostName;
        const ws::InetAddress address = addresses.empty() ? ws::InetAddress() : addresses.front();
        m_RemoteHostIP = ws::addressToText(address);
        if (m_lookupPurpose == 0) {
            if (!addresses.empty())
                m_nextAddresses.assign(addresses.begin() + 1, addresses.end());
            useFamily(address);
            if (ws::connect(m_SocketHandle, address, networkPort(m_RemotePort)) != 0) {
                std::int32_t code = ws::WSAGetLastError();
                if (code == ws::WSAEWOULDBLOCK || tryNextAddress(code))
                    m_State = StateConnecting;
                else
                    raiseError(code, source);
            }
        } else {
            SendBufferedData();
        }
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}
