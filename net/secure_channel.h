#pragma once

#include <cstdint>
#include <string>

// A security layer (TLS) that a connected socket object can put between its
// data path and the wire. The socket object keeps its events and buffers;
// what its users send and receive is the plain text, what goes through the
// socket library is the layer's records. The layer reads and writes the
// socket itself, through the socket library, so its reads and writes arm
// the same notifications as the socket object's own.
//
// read/write/handshake return -1 when they must wait for a notification;
// failures are thrown as platform::Error with the layer's number and reason.
class SecureChannel {
public:
    virtual ~SecureChannel() = default;

    // Starts (or goes on with) the handshake; true once it is done.
    virtual bool handshake() = 0;
    // Plain bytes read into `data`: > 0 bytes, 0 the end of the stream, -1 wait.
    virtual int read(std::uint8_t* data, int length) = 0;
    // Plain bytes taken from `data`: > 0 bytes, -1 wait. Bytes not taken
    // are offered again, from the same place, after the next notification.
    virtual int write(const std::uint8_t* data, int length) = 0;
    // Plain bytes decrypted and not yet read: no notification will tell of them.
    virtual bool pending() const = 0;
    // The last read or write waited for the other direction's notification.
    virtual bool readWantsWrite() const = 0;
    virtual bool writeWantsRead() const = 0;
    // Tells the peer the stream ends (best effort; nothing waits for it
    // to arrive). False while the handshake is not done: call again after
    // the next read.
    virtual bool close() = 0;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once the handshake is done.
    virtual std::string description() const = 0;
};
