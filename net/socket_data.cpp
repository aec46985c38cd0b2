// The data path of the socket object: SendData and the send buffer,
// reads into the receive buffer with its bound, GetData and PeekData.

#include "net/secure_channel.h"
#include "net/socket.h"
#include "net/socket_helpers.h"

#include <algorithm>

using namespace socket_detail;

namespace {

// The read size when the kernel's receive buffer size is not known; a
// reader of whole arrays that gets at least this much is moving a transfer.
constexpr int ReadChunk = 65536;

// Every read goes through this one block, and only the bytes that came are
// kept, so an idle socket holds no read space of its own.
ByteArray& readBlock() {
    static ByteArray block;
    return block;
}

} // namespace

// --- data path -------------------------------------------------------------------

void CSocket::SendData(const Variant& varData) {
    SendBytes(&varData, std::get_if<ByteArray>(&varData), nullptr);
}

void CSocket::SendData(Variant&& varData) {
    ByteArray* bytes = std::get_if<ByteArray>(&varData);
    SendBytes(&varData, bytes, bytes);
}

void CSocket::SendData(const ByteArray& bytes) {
    SendBytes(nullptr, &bytes, nullptr);
}

void CSocket::SendData(ByteArray&& bytes) {
    SendBytes(nullptr, &bytes, &bytes);
}

// The bytes to send are `bytes` if given, else those that stand for
// `varData`; `movable`, if given, holds them and may be taken over.
void CSocket::SendBytes(const Variant* varData, const ByteArray* bytes, ByteArray* movable) {
    const char* source = "CSocket.SendData";
    try {
        if (m_Protocol == ProtocolTcp) {
            if (m_SocketHandle == -1)
                throw Error(WrongProtocolOrState, source, WrongProtocolOrStateText);
        } else {
            EnsureSocket();
            if (m_RemoteHostIP.empty())
                networkPort(m_RemotePort); // out of range fails before any lookup
        }
        // A byte array is taken as it is: one given up becomes the send
        // buffer, one the caller keeps is offered from the caller's memory.
        ByteArray converted;
        if (!bytes) {
            converted = VariantToBytes(*varData);
            bytes = movable = &converted;
        }
        if (bytes->empty()) {
            // Nothing to send, so no completion can be promised for it.
            throw Error(platform::errors::SubscriptOutOfRange, source,
                        platform::errors::SubscriptOutOfRangeText);
        }
        if (m_secure && pendingSendBytes() != 0) {
            // The security layer may hold part of what is waiting as a
            // record it must finish from the same bytes (during its
            // handshake, all of it): what comes now queues behind.
            m_sendBuffer.insert(m_sendBuffer.end(), bytes->begin(), bytes->end());
        } else if (!movable && !m_secure) {
            // The kernel is offered the caller's own bytes; only what it
            // leaves is copied.
            m_sendBuffer.clear();
            m_sendOffset = 0;
            SendBufferedData(bytes);
            return;
        } else {
            if (movable)
                m_sendBuffer = std::move(*movable);
            else
                m_sendBuffer.assign(bytes->begin(), bytes->end());
            m_sendOffset = 0;
        }
        SendBufferedData();
    } catch (const Error& e) {
        if (e.number() == ws::WSAENOTSOCK)
            throw Error(WrongProtocolOrState, source, WrongProtocolOrStateText);
        throw e.withSource(source);
    } catch (...) {
        platform::rethrowWithSource(source);
    }
}

// `kept`, if given, is the caller's array of a new send with nothing
// waiting before it; what the kernel does not take of it is copied into the
// send buffer.
void CSocket::SendBufferedData(const ByteArray* kept) {
    const char* source = "CSocket.SendData";
    const std::size_t length = kept ? kept->size() : pendingSendBytes();
    m_completionPending = true;
    const std::uint8_t* data = kept ? kept->data() : m_sendBuffer.data() + m_sendOffset;
    const int offered = static_cast<int>(std::min<std::size_t>(length, 0x7FFFFFFF));
    int n;
    if (m_secure) {
        n = m_secure->write(data, offered);
        if (n < 0)
            return; // tried again at the notification the layer waits for
    } else if (m_Protocol == ProtocolTcp) {
        n = ws::send(m_SocketHandle, data, offered);
    } else if (!m_RemoteHostIP.empty()) {
        ws::InetAddress address;
        if (!isLiteral(m_RemoteHostIP, address))
            throw libraryError(ws::WSAEDESTADDRREQ, source);
        useFamily(address);
        n = ws::sendto(m_SocketHandle, data, offered, address, networkPort(m_RemotePort));
    } else {
        m_lookupPurpose = 1;
        forgetLookup();
        m_lookupTask = MSocketSupport::ResolveHost(m_RemoteHost, weak_from_this());
        n = 0;
    }
    // Whatever came of the offer, what the kernel left of a kept array
    // waits in the buffer.
    const std::size_t taken = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (kept && taken < length)
        m_sendBuffer.assign(kept->begin() + static_cast<std::ptrdiff_t>(taken), kept->end());
    if (n < 0) {
        int code = ws::WSAGetLastError();
        if (code == ws::WSAEWOULDBLOCK)
            return; // tried again at the next write notification
        throw libraryError(code, source);
    }
    if (taken < length) {
        if (!kept)
            m_sendOffset += taken;
    } else {
        m_sendBuffer.clear();
        m_sendOffset = 0;
        // OnSendComplete always comes from the loop, never from inside SendData;
        // when this send was itself the answer to a completion, the loop may
        // deliver it in the same pass.
        postToSelf(ws::FD_WRITE, true);
        if (m_shutdownWhenSent) {
            m_shutdownWhenSent = false;
            shutdownSend(); // the close CloseSocket asked for
        }
    }
    OnSendProgress.raise(n, static_cast<std::int32_t>(pendingSendBytes()));
}

std::int32_t CSocket::RecvToBuffer(bool readAhead) {
    const char* source = "CSocket.RecvToBuffer";
    int chunk = m_receiveChunkSize > 0 ? m_receiveChunkSize : ReadChunk;
    int n;
    if (m_Protocol == ProtocolTcp && !m_secure) {
        // The buffer grows by what is waiting and the bytes are read straight
        // into it, so a reader that takes everything gets them as the kernel
        // gave them. For a reader that takes whole byte arrays (no copy is
        // made of them) the read into an empty buffer follows the socket's
        // receive buffer as the kernel grows it, up to LargestRead; other
        // reads take a chunk at most.
        std::uint32_t waiting = 0;
        if (ws::ioctlsocket(m_SocketHandle, ws::FIONREAD_, &waiting) != 0)
            waiting = 0; // the recv tells what is wrong
        else if (readAhead && waiting == 0)
            return 0; // nothing came since; the recv before re-armed the notification
        if (m_receiveBuffer.empty() && m_takesArrays) {
            if (waiting > static_cast<std::uint32_t>(std::max(chunk, m_emptyReadSize)) &&
                m_emptyReadSize < static_cast<int>(LargestRead)) {
                int size = 0;
                if (ws::getsockopt(m_SocketHandle, ws::SOL_SOCKET_, ws::SO_RCVBUF_, &size) == 0)
                    m_emptyReadSize = std::min(size, static_cast<int>(LargestRead));
            }
            chunk = std::max(chunk, m_emptyReadSize);
        }
        const std::size_t held = m_receiveBuffer.size();
        // At or past the bound only the reads of a close come here.
        const std::size_t room =
            held < ReceiveBufferLimit ? ReceiveBufferLimit - held : static_cast<std::size_t>(chunk);
        const std::size_t size = std::max<std::size_t>(
            1,
            std::min({static_cast<std::size_t>(waiting), static_cast<std::size_t>(chunk), room}));
        m_receiveBuffer.resize(held + size);
        n = ws::recv(m_SocketHandle, m_receiveBuffer.data() + held, static_cast<int>(size));
        m_receiveBuffer.resize(held + (n > 0 ? static_cast<std::size_t>(n) : 0));
        // Another read follows in the same pass, as the next step of this
        // one (as a send's completion is), when the kernel holds more than
        // this read took, or for a reader of whole arrays that got a chunk
        // or more (a transfer), whose next bytes may come in this pass from
        // a writer on the same loop. A reader then keeps pace with a writer
        // instead of taking one read per check of the descriptors while the
        // writer fills the socket. A read that follows and finds nothing
        // costs one call.
        if (n > 0 &&
            (waiting > static_cast<std::uint32_t>(n) || (m_takesArrays && n >= ReadChunk))) {
            m_readAhead = true;
            postToSelf(ws::FD_READ, true);
        }
        if (m_receiveBuffer.empty())
            m_receiveBuffer = ByteArray(); // an empty buffer keeps no space
        if (n < 0) {
            const int code = ws::WSAGetLastError();
            if (code == ws::WSAEWOULDBLOCK)
                return 0;
            throw libraryError(code, source);
        }
        return n;
    }
    // Through a security layer or as datagrams: an empty buffer (a reader
    // that takes everything) is read into straight; otherwise the read goes
    // into the loop's one block and just the bytes that came are appended:
    // growing a buffer that holds data by a whole chunk could move it and
    // would clear the chunk first.
    const bool straight = m_receiveBuffer.empty();
    ByteArray& block = straight ? m_receiveBuffer : readBlock();
    if (block.size() < static_cast<std::size_t>(chunk))
        block.resize(static_cast<std::size_t>(chunk));
    ws::InetAddress address;
    std::uint16_t port = 0;
    if (m_secure) {
        // Records are read until the chunk is full or the socket has no
        // more. The layer's end of the stream (close_notify) is the peer's
        // close, whether or not TCP has ended too.
        n = 0;
        while (n < chunk) {
            const int got = m_secure->read(block.data() + n, chunk - n);
            if (got == 0)
                m_secureEnded = true;
            if (got <= 0)
                break;
            n += got;
        }
        // Plain bytes left inside the layer get no notification of their own.
        if (n == chunk && m_secure->pending())
            postToSelf(ws::FD_READ);
    } else
        n = ws::recvfrom(m_SocketHandle, block.data(), chunk, &address, &port);
    if (straight) {
        m_receiveBuffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        // A short read keeps no more space than its bytes.
        if (m_receiveBuffer.capacity() / 2 > m_receiveBuffer.size())
            m_receiveBuffer.shrink_to_fit();
    } else if (n > 0) {
        m_receiveBuffer.insert(m_receiveBuffer.end(), block.begin(), block.begin() + n);
    }
    if (n < 0) {
        int code = ws::WSAGetLastError();
        if (code == ws::WSAEWOULDBLOCK)
            return 0;
        throw libraryError(code, source);
    }
    if (m_Protocol != ProtocolTcp) {
        m_RemotePort = hostPort(port);
        m_RemoteHostIP = ws::addressToText(address);
        m_RemoteHost = nameOrAddress(address, m_RemoteHostIP);
    }
    return n;
}

void CSocket::GetData(Variant& varData, std::optional<std::int32_t> varType,
                      std::optional<std::int64_t> maxLen) {
    try {
        ConvertReceivedData(varData, false, varType, maxLen);
    } catch (...) {
        platform::rethrowWithSource("CSocket.GetData");
    }
}

void CSocket::PeekData(Variant& varData, std::optional<std::int32_t> varType,
                       std::optional<std::int64_t> maxLen) {
    try {
        ConvertReceivedData(varData, true, varType, maxLen);
    } catch (...) {
        platform::rethrowWithSource("CSocket.PeekData");
    }
}

void CSocket::ConvertReceivedData(Variant& varData, bool peek, std::optional<std::int32_t> varType,
                                  std::optional<std::int64_t> maxLen) {
    if (m_receiveBuffer.empty())
        return;
    const std::int64_t limit = maxLen.value_or(0);
    const std::size_t available = m_receiveBuffer.size();
    const std::size_t taken = (limit > 0 && static_cast<std::uint64_t>(limit) <= available)
                                  ? static_cast<std::size_t>(limit)
                                  : available;
    const std::int32_t type = varType.value_or(vartype::String);
    if (!peek && taken == available && type == vartype::ByteArray) {
        // The common case of a transfer: hand the whole buffer over without a copy.
        varData = std::move(m_receiveBuffer);
        m_receiveBuffer = ByteArray();
    } else {
        VariantFromBytes(type, m_receiveBuffer.data(), taken, varData);
        if (!peek && taken == available)
            m_receiveBuffer = ByteArray(); // an empty buffer keeps no space
        else if (!peek)
            m_receiveBuffer.erase(m_receiveBuffer.begin(),
                                  m_receiveBuffer.begin() + static_cast<std::ptrdiff_t>(taken));
    }
    m_takesArrays = !peek && taken == available && type == vartype::ByteArray;
    m_BytesReceived = static_cast<std::int64_t>(m_receiveBuffer.size());
    if (!peek)
        resumeReading();
}

void CSocket::resumeReading() {
    if (!m_readPaused || m_receiveBuffer.size() >= ReceiveBufferLimit || m_SocketHandle == -1)
        return;
    m_readPaused = false;
    // The read the library announced was left undone; do it from the loop.
    postToSelf(ws::FD_READ);
}
