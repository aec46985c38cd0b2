#pragma once

// One TLS connection of a context: the security layer a socket object puts
// between its data path and the wire, reading and writing the socket
// through the socket library (an OpenSSL BIO), so a record that cannot be
// read or written yet arms the same notification a plain read or write
// would.

#include "net/secure_channel.h"
#include "net/tls_sessions.h"

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace net::tls {

// The reason of the last failure: the certificate check's if it failed,
// else OpenSSL's, else `otherwise`.
std::string lastReason(SSL* ssl, const char* otherwise);

// How failures are raised: the number and source the context was given.
struct Failure {
    std::int32_t number = 0;
    std::string source;

    // "TLS: " and lastReason.
    [[noreturn]] void raise(SSL* ssl, const char* otherwise) const;
    // A failure of the socket under the layer keeps the socket library's
    // number and text, as it would without TLS.
    [[noreturn]] void raiseSocket(SSL* ssl, const char* otherwise) const;
    [[noreturn]] void raiseText(const std::string& text) const;
};

// What the BIO of one connection knows beyond the socket: whether the peer
// ended the TCP stream (so OpenSSL can tell a cut stream from a clean end)
// and whether its first bytes were anything but TLS records.
struct BioState {
    int socket = -1;
    bool eof = false;
    bool checked = false; // the first byte the peer sent has been looked at
    bool notTls = false;
};

// The BIO method over the socket library; BIO data is a BioState.
BIO_METHOD* socketMethod();

class Channel : public SecureChannel {
public:
    Channel(SSL* ssl, std::shared_ptr<SessionPool> pool, Failure failure, int socket,
            bool strictEnd);
    ~Channel() override;

    // The channel of an SSL object this library made, nullptr otherwise.
    static Channel* of(const SSL* ssl);

    SessionPool& pool() { return *m_pool; }
    BioState* bioState() { return &m_bio; }
    // The handshake has ended (a later failure does not undo this, as it
    // undoes SSL_is_init_finished).
    void established() { m_established = true; }

    bool handshake() override;
    int read(std::uint8_t* data, int length) override;
    int write(const std::uint8_t* data, int length) override;
    bool pending() const override;
    bool readWantsWrite() const override { return m_readWantsWrite; }
    bool writeWantsRead() const override { return m_writeWantsRead; }
    bool close() override;
    std::string description() const override;

private:
    // Throws the failure that SSL_get_error reported as `error`.
    [[noreturn]] void failed(int error, const char* otherwise);

    SSL* m_ssl;
    std::shared_ptr<SessionPool> m_pool;
    Failure m_failure;
    BioState m_bio;
    bool m_strictEnd;
    bool m_established = false;
    bool m_readWantsWrite = false;
    bool m_writeWantsRead = false;
    bool m_closed = false;
};

} // namespace net::tls
