#pragma once

#include "net/variant.h"
#include "platform/event.h"
#include "platform/winsock.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class SecureChannel;

// The address at one end of a connection, as the socket reports it.
struct SocketAddress {
    // The library's family numbers.
    enum Family : std::int32_t { None = 0, IPv4 = 2, IPv6 = 23 };
    Family family = None;
    std::string ip;        // dotted IPv4 or IPv6 text; empty for None
    std::int32_t port = 0; // 0..65535
    bool operator==(const SocketAddress&) const = default;
};

// An asynchronous IPv4 or IPv6 socket with events: a TCP connection, a listening
// TCP socket or a UDP socket. Methods return at once; progress arrives
// later as events, raised from the socket service's notification dispatch
// on the thread that runs the event loop. Create with `CSocket::create()`.
class CSocket : public std::enable_shared_from_this<CSocket> {
public:
    enum StateConstants : std::int32_t {
        StateClosed = 0,
        StateListening = 2,
        StateResolvingHost = 4,
        StateHostResolved = 5,
        StateConnecting = 6,
        StateConnected = 7,
        StateClosing = 8,
        StateError = 9,
    };
    enum ProtocolConstants : std::int32_t { ProtocolTcp = 0, ProtocolUdp = 1 };

    // While the receive buffer holds this much, nothing more is read from
    // the socket (the sender is slowed by the connection's own window);
    // reading resumes once GetData has taken enough.
    static constexpr std::size_t ReceiveBufferLimit = std::size_t(4) << 20;
    // Most bytes one read of a TCP socket takes, however far the kernel
    // has grown the socket's receive buffer.
    static constexpr std::size_t LargestRead = std::size_t(1) << 20;

    // Starts the socket library if needed; raises its start-up failure.
    static std::shared_ptr<CSocket> create();
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // --- methods ---
    void SendData(const Variant& varData);
    // The same; a byte array the caller gives up is sent without a copy.
    void SendData(Variant&& varData);
    // A byte array sent as it is, without first making a value of it: one
    // the caller keeps is offered to the kernel from its own memory (only
    // what the kernel leaves is copied), one given up becomes the send buffer.
    void SendData(const ByteArray& bytes);
    void SendData(ByteArray&& bytes);
    void PeekData(Variant& varData, std::optional<std::int32_t> varType = std::nullopt,
                  std::optional<std::int64_t> maxLen = std::nullopt);
    void Listen();
    void GetData(Variant& varData, std::optional<std::int32_t> varType = std::nullopt,
                 std::optional<std::int64_t> maxLen = std::nullopt);
    void Connect(std::optional<std::string> strRemoteHost = std::nullopt,
                 std::optional<std::int64_t> lngRemotePort = std::nullopt);
    void CloseSocket();
    void Bind(std::optional<std::int32_t> lngLocalPort = std::nullopt,
              std::optional<std::string> strLocalIP = std::nullopt);
    void Accept(std::int32_t requestID);
    // Closes the socket at once in any state, both directions: what
    // SendData left unsent is dropped, a security layer says no goodbye, and
    // no event follows (OnClose included). Never raises.
    void Abort();
    // Closes the socket now, with no event: a connected one says goodbye
    // first as CloseSocket does (a security layer's close notice, the end
    // of its sending) but nobody waits for the other end's; one already
    // closing gracefully is dropped. Never raises.
    void CloseNow();
    // Puts a security layer between the data path and the wire of this
    // connected TCP socket and starts its handshake; it stays until the
    // socket closes. Events and buffers then carry the plain bytes.
    void StartSecure(std::shared_ptr<SecureChannel> channel);

    // --- properties ---
    std::int32_t State() const { return m_State; }
    std::int32_t SocketHandle() const { return m_SocketHandle; }
    std::int32_t RemotePort() const { return m_RemotePort; }
    void setRemotePort(std::int32_t value) { m_RemotePort = value; }
    std::string RemoteHostIP() const { return m_RemoteHostIP; }
    std::string RemoteHost() const { return m_RemoteHost; }
    void setRemoteHost(const std::string& strNewValue);
    std::int32_t Protocol() const { return m_Protocol; }
    void setProtocol(std::int32_t value);
    std::int32_t LocalPort() const { return m_LocalPort; }
    void setLocalPort(std::int32_t value) { m_LocalPort = value; }
    std::string LocalIP() const { return m_LocalIP; }
    std::string LocalHostName() const { return m_LocalHostName; }
    // Saturated at the largest 32-bit value rather than wrapped.
    std::int32_t BytesReceived() const;
    // The other end of the connection as the socket reports it now; None
    // without a connected socket.
    SocketAddress PeerAddress() const;
    // The same for a connection request while OnConnectionRequest offers
    // it; None for any other handle.
    static SocketAddress RequestPeerAddress(std::int32_t requestID);
    // The security layer of the connection, nullptr if there is none.
    std::shared_ptr<SecureChannel> Secure() const { return m_secure; }

    // --- events ---
    platform::Event<> OnClose;
    platform::Event<> OnConnect;
    platform::Event<std::int32_t> OnConnectionRequest; // requestID: the accepted handle
    platform::Event<std::int32_t> OnDataArrival;       // bytesTotal: all bytes waiting
    // Number, Description, Scode, Source, HelpFile, HelpContext, CancelDisplay.
    // What a handler writes into Description or CancelDisplay is ignored.
    platform::Event<std::int16_t, std::string&, std::int32_t, std::string, std::string,
                    std::int32_t, bool&>
        OnError;
    platform::Event<> OnSendComplete;
    platform::Event<std::int32_t, std::int32_t> OnSendProgress; // bytesSent, bytesRemaining

    // --- called by the socket service only ---
    // A notification for this socket (FD_READ ... with its error), handled now.
    void HandleNotification(std::int32_t event, std::int32_t error);
    // The answer to a host lookup; `addresses` in the order they are to be tried.
    void HandleLookupResult(std::int32_t taskHandle,
                            const std::vector<platform::winsock::InetAddress>& addresses,
                            const std::string& hostName, std::int32_t error);

private:
    CSocket();

    std::int32_t vbSocket();
    // Makes the socket if there is none; raises the library's error (for
    // example 10024) if none can be made.
    void EnsureSocket();
    void ReadBufferSizes();
    std::int32_t RecvToBuffer(bool readAhead = false);
    void ConvertReceivedData(Variant& varData, bool peek, std::optional<std::int32_t> varType,
                             std::optional<std::int64_t> maxLen);
    void DestroySocket();
    void SendBufferedData(const ByteArray* kept = nullptr);
    void SendBytes(const Variant* varData, const ByteArray* bytes, ByteArray* movable);

    void connectTo(const platform::winsock::InetAddress& address, const char* source);
    // Gives the socket the family of `address` while it is still unused.
    void useFamily(const platform::winsock::InetAddress& address);
    // After a failed connect: starts the next address of the name, if any
    // is left and the failure lets one try another. False when nothing is
    // under way; `error` is then the failure to report.
    bool tryNextAddress(std::int32_t& error);
    // Drops the lookup under way, if any: its answer is never acted on.
    void forgetLookup();
    void resumeReading();
    void failClose(std::int32_t number);
    void raiseError(std::int32_t number, const std::string& source);
    void raiseError(std::int32_t number, const std::string& source, std::string description);
    void dispatchEvent(std::int32_t event);
    // Queues a notification for this socket behind what the loop holds,
    // for news that must not reach handlers inside the current call. A
    // follow-up may be dispatched in the pass that is running (see
    // EventLoop::postFollowUp).
    void postToSelf(std::int32_t event, bool followUp = false) const;
    // Ends the socket after a failure of its security layer.
    void failSecure(std::int32_t number, const std::string& source, const std::string& description);
    // The stream's end announced through the security layer, then the socket's.
    void shutdownSend();
    void onAccept();
    void onConnected();
    void onPeerClosed();
    std::size_t pendingSendBytes() const { return m_sendBuffer.size() - m_sendOffset; }

    std::int32_t m_lookupPurpose = 0; // 0 = connect, 1 = send a datagram
    std::int32_t m_Protocol = ProtocolTcp;
    std::int32_t m_State = StateClosed;
    std::int64_t m_BytesReceived = 0;
    std::string m_LocalHostName;
    std::string m_LocalIP;
    std::int32_t m_LocalPort = 0;
    std::string m_RemoteHost;
    std::string m_RemoteHostIP;
    std::int32_t m_RemotePort = 0;
    std::int32_t m_SocketHandle = -1;
    std::int32_t m_lookupTask = 0;
    std::vector<platform::winsock::InetAddress> m_nextAddresses; // of the name being connected to
    ByteArray m_sendBuffer;                                      // bytes of the last SendData ...
    std::size_t m_sendOffset = 0; // ... of which this many have been handed over
    ByteArray m_receiveBuffer;
    std::int32_t m_receiveChunkSize = 0;
    std::int32_t m_emptyReadSize = 0; // a TCP read into an empty receive buffer
    bool m_takesArrays = false;       // the last GetData took all as a byte array
    bool m_readAhead = false;         // a read is posted to follow the last one
    std::int32_t m_maxDatagramSize = 0;
    bool m_bound = false;
    bool m_completionPending = false;
    bool m_broadcast = false;
    bool m_readPaused = false;        // reading stopped at ReceiveBufferLimit
    bool m_shutdownWhenSent = false;  // CloseSocket waits for the send buffer
    bool m_acceptRefused = false;     // a refusal for want of descriptors was reported
    std::int32_t m_noSocketError = 0; // why the last socket could not be made
    std::string m_noSocketText;
    std::shared_ptr<SecureChannel> m_secure;
    bool m_secureEnded = false; // the security layer's stream has ended
};
