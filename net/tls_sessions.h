#pragma once

// The TLS sessions a peer has given the connections of one context, newest
// last. A TLS 1.3 ticket is good for one resumption only: a connection
// takes one that no other connection has used, and the tickets it is given
// in turn serve the next ones. A TLS 1.2 session serves every connection.

#include <openssl/ssl.h>

#include <cstddef>
#include <vector>

namespace net::tls {

class SessionPool {
public:
    // At most this many kept; a server sends a few per connection.
    static constexpr std::size_t Most = 8;

    SessionPool() = default;
    ~SessionPool();
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    // Takes over the caller's reference.
    void add(SSL_SESSION* session);
    // The session for a new connection, with a reference the caller frees;
    // nullptr when none is left to use (a full handshake follows).
    SSL_SESSION* take();

private:
    std::vector<SSL_SESSION*> m_sessions;
};

} // namespace net::tls
